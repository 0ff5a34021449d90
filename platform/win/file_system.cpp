#include "platform/file_system.h"

#include <cerrno>
#include <string_view>

#include "platform/directory_chain.h"
#include "platform/directory_listing.h"
#include "platform/enumeration.h"
#include "platform/io.h"
#include "platform/process_info.h"
#include "platform/win/native.h"

namespace holm::platform {
namespace {

using win::lastWin32Error;
using win::nativePath;

// A HANDLE for a look at a file's attributes, closed at the end of the scope.
struct ScopedHandle {
    HANDLE handle;
    ~ScopedHandle() {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
};

HANDLE openForAttributes(const std::wstring& path, bool followLink) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
}

// Windows files carry an access list rather than an owner and mode bits:
// the facts here say "the process's own user" and derive the bits from the
// read-only attribute, so that the owner rules of the portable code hold
// for files this process may write. (The access list itself is not
// examined yet.)
Result<FileInfo> infoOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION data{};
    if (!::GetFileInformationByHandle(handle, &data)) {
        return lastWin32Error();
    }
    FileInfo info;
    const DWORD attributes = data.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        info.type = FileType::kSymlink;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        info.type = FileType::kDirectory;
    } else if (::GetFileType(handle) == FILE_TYPE_DISK) {
        info.type = FileType::kRegular;
    }
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    info.mode = info.type == FileType::kDirectory ? 0755 : (readOnly ? 0444 : 0644);
    info.uid = effectiveUserId();
    info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info.modified = win::fromFileTime(data.ftLastWriteTime);
    info.device = data.dwVolumeSerialNumber;
    info.inode = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    return info;
}

Result<FileInfo> statWith(const std::string& path, bool followLink) {
    ScopedHandle file{openForAttributes(nativePath(path), followLink)};
    if (file.handle == INVALID_HANDLE_VALUE) {
        return lastWin32Error();
    }
    return infoOf(file.handle);
}

std::string withOneTrailingSlash(std::string path) {
    while (!path.empty() && (path.back() == '/' || path.back() == '\\')) {
        path.pop_back();
    }
    return path + '/';
}

std::string portablePath(std::wstring_view path) {
    std::string result = win::narrow(path);
    for (char& c : result) {
        if (c == '\\') {
            c = '/';
        }
    }
    return result;
}

// A name that is taken is "already exists" (183), whichever call refused it.
Status alreadyExistsOr(const Status& status) {
    return !status && status.error().errnoValue() == EEXIST
               ? Status(Error::windows(WinError::kAlreadyExists, EEXIST))
               : status;
}

// The entries of the directory at the Win32 path `directory`.
Result<std::vector<DirectoryEntry>> listDirectory(
    const std::wstring& directory, const std::function<bool(std::string_view)>& select) {
    std::wstring pattern = directory;
    if (!pattern.ends_with(L'\\')) {
        pattern += L'\\';
    }
    pattern += L'*';
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    std::vector<DirectoryEntry> entries;
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return entries;  // nothing at all, not even "." (a drive root)
        }
        return error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY ||
                       error == ERROR_INVALID_NAME
                   ? Error::windows(WinError::kPathNotFound, ENOENT)
                   : win::win32Error(error);
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        std::string utf8 = win::narrow(name);
        if (!select(utf8)) {
            continue;
        }
        FileType type = FileType::kRegular;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            type = FileType::kSymlink;
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            type = FileType::kDirectory;
        }
        entries.push_back({std::move(utf8), type});
    } while (::FindNextFileW(search, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        return win::win32Error(error);
    }
    return entries;
}

}  // namespace

Result<FileInfo> statPath(const std::string& path) {
    return statWith(path, true);
}

Result<FileInfo> lstatPath(const std::string& path) {
    return statWith(path, false);
}

Result<FileInfo> statDescriptor(int fd) {
    HANDLE handle = win::handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    return infoOf(handle);
}

Result<std::string> resolvedPath(const std::string& path) {
    ScopedHandle file{openForAttributes(nativePath(path), true)};
    if (file.handle == INVALID_HANDLE_VALUE) {
        return lastWin32Error();
    }
    const std::wstring resolved = win::finalPathOf(file.handle);
    if (resolved.empty()) {
        return lastSystemError();
    }
    return portablePath(resolved);
}

Result<UniqueFd> openForReading(const std::string& path) {
    return io::open(path, {.nonBlocking = true});
}

// The creations, renames and removals below go through the I/O module, and
// so through its system-call table, as on every system.
Status makeDirectory(const std::string& path, uint32_t mode) {
    return alreadyExistsOr(io::makeDirectoryAt(io::kCurrentDirectory, path, mode));
}

Status renameNoReplace(const std::string& from, const std::string& to) {
    return alreadyExistsOr(
        io::renameAt(io::kCurrentDirectory, from, io::kCurrentDirectory, to, true));
}

Status makeDirectoryChain(const std::string& path, uint32_t mode) {
    if (!win::isAbsolutePath(path)) {
        return Error::fromErrno(EINVAL);
    }
    // The drive ("C:") or share ("//server/share") is taken as it is; below
    // it, each existing name must be a directory and not a reparse point (a
    // link or junction planted where a folder is to be made is never
    // followed), and each missing one is created.
    size_t start = path[1] == ':' ? 3 : path.find('/', path.find('/', 2) + 1) + 1;
    if (start == 0) {
        return Error::fromErrno(EINVAL);
    }
    std::string prefix = path.substr(0, start);
    return walkDirectoryChain(path, start, "/\\", [&](const std::string& name) -> Status {
        prefix += name;
        const std::wstring native = nativePath(prefix);
        if (const Status made = io::makeDirectoryAt(io::kCurrentDirectory, prefix, mode);
            !made && made.error().errnoValue() != EEXIST) {
            return made;
        }
        const DWORD attributes = ::GetFileAttributesW(native.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return lastWin32Error();
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            return Error::fromErrno(ELOOP);
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Error::fromErrno(ENOTDIR);
        }
        prefix += '/';
        return {};
    });
}

Status renameReplacing(const std::string& from, const std::string& to) {
    return io::renameAt(win::kCurrentDirectory, from, win::kCurrentDirectory, to);
}

Status truncateDescriptor(int fd, uint64_t size) {
    return io::truncate(fd, size);
}

Status removeFile(const std::string& path) {
    return io::removeAt(io::kCurrentDirectory, path);
}

Status removeEmptyDirectory(const std::string& path) {
    const std::wstring native = nativePath(path);
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return lastWin32Error();
    }
    // A link to a directory is not a directory here (removing it would
    // remove the link).
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return Error::windows(WinError::kPathNotFound, ENOTDIR);
    }
    return io::removeAt(io::kCurrentDirectory, path, io::Remove::Directory);
}

std::string temporaryDirectory() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) {
        return "C:/Windows/Temp/";
    }
    return withOneTrailingSlash(portablePath(std::wstring_view(buffer, length)));
}

std::string systemDirectory() {
    wchar_t buffer[MAX_PATH + 1];
    const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return "C:/Windows/System32/";
    }
    return withOneTrailingSlash(portablePath(std::wstring_view(buffer, length)));
}

namespace {

// The Windows directory: where the system's own programs sit besides the
// system directory.
std::string windowsDirectory() {
    wchar_t buffer[MAX_PATH + 1];
    const UINT length = ::GetSystemWindowsDirectoryW(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return "C:/Windows/";
    }
    return withOneTrailingSlash(portablePath(std::wstring_view(buffer, length)));
}

}  // namespace

std::string findProgram(const std::string& name) {
    if (name.empty()) {
        return {};
    }
    if (name.find_first_of("/\\:") != std::string::npos) {
        return name;  // a path, absolute or relative, or a drive
    }
    // The loader's rule: a name without an extension is a ".exe".
    const std::string file = name.find('.') == std::string::npos ? name + ".exe" : name;
    std::vector<std::string> directories;
    const std::string self = executablePath();
    if (const size_t slash = self.rfind('/'); slash != std::string::npos) {
        directories.push_back(self.substr(0, slash + 1));
    }
    directories.push_back(systemDirectory());
    directories.push_back(windowsDirectory());
    for (const std::string& directory : directories) {
        std::string path = directory + file;
        if (isRegularFile(path)) {
            return path;
        }
    }
    return {};
}

Result<std::vector<DirectoryEntry>> enumerateMatching(
    const std::string& directory, const std::function<bool(std::string_view)>& select) {
    return listDirectory(nativePath(directory), select);
}

Result<std::vector<std::string>> entryNamesAt(int directoryFd) {
    HANDLE handle = win::handleOf(directoryFd);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    const std::wstring path = win::finalPathOf(handle);
    if (path.empty()) {
        return lastSystemError();
    }
    auto entries = listDirectory(path, [](std::string_view) { return true; });
    if (!entries) {
        return entries.error();
    }
    std::vector<std::string> names;
    for (DirectoryEntry& entry : *entries) {
        names.push_back(std::move(entry.name));
    }
    return names;
}

namespace {

// Removes the name `path` alone: a file, or a link (to a directory or not),
// never what a link points to.
Status removeName(const std::string& path, FileType type) {
    if (type == FileType::kSymlink &&
        io::removeAt(io::kCurrentDirectory, path, io::Remove::Directory)) {
        return {};
    }
    return io::removeAt(io::kCurrentDirectory, path);
}

}  // namespace

Status removeTreeSafely(const std::string& path, std::vector<std::string>* /*skipped*/) {
    std::string root = path;
    while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) {
        root.pop_back();
    }
    if (root.empty() || root == "/" || (root.size() <= 3 && root.size() >= 2 && root[1] == ':')) {
        return Error::fromErrno(EINVAL);
    }
    auto top = lstatPath(root);
    if (!top) {
        return top.error().errnoValue() == ENOENT ? Status() : Status(top.error());
    }
    if (top->type != FileType::kDirectory) {
        return removeName(root, top->type);
    }
    // Depth first without recursion: a directory is removed once emptied.
    // Reparse points inside are removed as names, never entered.
    struct Level {
        std::string path;
        bool listed = false;
    };
    std::vector<Level> stack{{root}};
    Status first;
    while (!stack.empty()) {
        Level& level = stack.back();
        if (!level.listed) {
            level.listed = true;
            auto entries =
                listDirectory(nativePath(level.path), [](std::string_view) { return true; });
            if (!entries) {
                if (first) {
                    first = entries.error();
                }
                continue;
            }
            const std::string base = level.path + '/';
            for (const DirectoryEntry& entry : *entries) {
                const std::string child = base + entry.name;
                if (entry.type == FileType::kDirectory) {
                    stack.push_back({child});
                    continue;
                }
                if (Status removed = removeName(child, entry.type); !removed && first) {
                    first = removed;
                }
            }
            continue;  // the level's subdirectories first
        }
        if (Status removed = io::removeAt(io::kCurrentDirectory, level.path, io::Remove::Directory);
            !removed && first) {
            first = removed;
        }
        stack.pop_back();
    }
    return pathExists(root) ? first : Status();
}

}  // namespace holm::platform
