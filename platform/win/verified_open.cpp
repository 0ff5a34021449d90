#include "platform/verified_open.h"

#include <cerrno>

#include "platform/io.h"
#include "platform/process_info.h"
#include "platform/win/file_security.h"
#include "platform/win/native.h"

namespace holm::platform {
namespace {

// The owner reported for an object whose owner is not trusted.
constexpr uint32_t kForeignOwner = 0xFFFFFFFE;

OpenFailure failure(OpenRefusal refusal, int error = 0) {
    return OpenFailure{refusal, error};
}

OpenFailure failureOf(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            return failure(OpenRefusal::NotFound, ENOENT);
        default:
            return failure(OpenRefusal::Failed, win::errnoFromWin32(code));
    }
}

// Opens `path` for a verifier. Sharing allows other readers only: while
// the file is held, nobody may write, rename or delete it, and a file that
// another process holds open for writing is refused (a sharing violation).
// A reparse point at the last step (a symbolic link, a junction) is opened
// itself and refused.
OpenResult openVerified(const std::wstring& path, bool wantDirectory) {
    if (path.empty()) {
        return failure(OpenRefusal::Failed, errno);
    }
    // A directory anchor shares everything but deletion: while it is held it
    // cannot be renamed, moved or removed, so its path (through which the
    // names in it are opened) keeps naming it.
    const DWORD share = wantDirectory ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (wantDirectory ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle =
        ::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        win::failWin32(error);
        return failureOf(error);
    }
    BY_HANDLE_FILE_INFORMATION data{};
    if (!::GetFileInformationByHandle(handle, &data)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        return failureOf(error);
    }
    const bool directory = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    OpenRefusal refusal = OpenRefusal::Failed;
    bool refused = true;
    if (!wantDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        refusal = OpenRefusal::SymbolicLink;
    } else if (directory != wantDirectory ||
               (!directory && ::GetFileType(handle) != FILE_TYPE_DISK)) {
        refusal = OpenRefusal::WrongType;
    } else {
        refused = false;
    }
    if (refused) {
        ::CloseHandle(handle);
        const int error = refusal == OpenRefusal::SymbolicLink ? ELOOP
                          : wantDirectory                      ? ENOTDIR
                                                               : EINVAL;
        return failure(refusal, error);
    }
    const int fd =
        win::adoptHandle(handle, directory ? win::HandleKind::Directory : win::HandleKind::File);
    if (fd < 0) {
        return failure(OpenRefusal::Failed, errno);
    }
    OpenedFile opened;
    opened.fd.reset(fd);
    opened.info.identity.device = data.dwVolumeSerialNumber;
    opened.info.identity.inode =
        (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    opened.info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // The owner and access list, read from the handle that was checked, in
    // the terms of the other systems: a trusted owner is reported as the
    // process's own user, any other as an id no user has here, and an access
    // list that lets another account change the object as written by others.
    auto security = win::securityOf(handle);
    if (!security) {
        return failure(OpenRefusal::Failed, security.error().errnoValue());
    }
    opened.info.owner = security->trustedOwner ? effectiveUserId() : kForeignOwner;
    opened.info.writableByGroupOrOthers = security->writableByOthers;
    return opened;
}

}  // namespace

OpenResult openDirectory(const std::string& path) {
    return openVerified(win::nativePath(path), true);
}

OpenResult openFileAt(int directoryFd, const std::string& name) {
    if (name.empty() || name.find_first_of("/\\") != std::string::npos || name == "." ||
        name == "..") {
        return failure(OpenRefusal::NotFound, ENOENT);
    }
    return openVerified(win::pathAt(directoryFd, name), false);
}

std::string descriptorPath(int fd) {
    HANDLE handle = win::handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string path = win::narrow(win::finalPathOf(handle));
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

Status createFifo(const std::string&, uint32_t) {
    return Error::fromErrno(ENOTSUP);  // Windows has no FIFOs in the file system
}

}  // namespace holm::platform
