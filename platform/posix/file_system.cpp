#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string_view>

#include "platform/directory_chain.h"
#include "platform/directory_listing.h"
#include "platform/enumeration.h"
#include "platform/errors.h"
#include "platform/io.h"
#include "platform/posix/directory_stream.h"

namespace holm::platform {
namespace {

FileType typeOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return FileType::kRegular;
    }
    if (S_ISDIR(mode)) {
        return FileType::kDirectory;
    }
    if (S_ISLNK(mode)) {
        return FileType::kSymlink;
    }
    return FileType::kOther;
}

FileInfo infoOf(const struct stat& status) {
    FileInfo info;
    info.type = typeOfMode(status.st_mode);
    info.mode = static_cast<uint32_t>(status.st_mode & 07777);
    info.uid = static_cast<uint32_t>(status.st_uid);
    info.size = static_cast<uint64_t>(status.st_size);
    info.modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(status.st_mtim.tv_sec) +
            std::chrono::nanoseconds(status.st_mtim.tv_nsec)));
    info.device = static_cast<uint64_t>(status.st_dev);
    info.inode = static_cast<uint64_t>(status.st_ino);
    return info;
}

// Runs one of the stat calls and converts its result.
template <typename StatCall>
Result<FileInfo> statWith(StatCall call) {
    struct stat status {};
    if (call(&status) != 0) {
        return lastSystemError();
    }
    return infoOf(status);
}

}  // namespace

Result<FileInfo> statPath(const std::string& path) {
    return statWith([&](struct stat* status) { return ::stat(path.c_str(), status); });
}

Result<FileInfo> lstatPath(const std::string& path) {
    return statWith([&](struct stat* status) { return ::lstat(path.c_str(), status); });
}

Result<FileInfo> statDescriptor(int fd) {
    return statWith([&](struct stat* status) { return ::fstat(fd, status); });
}

Result<std::string> resolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) {
        return lastSystemError();
    }
    return std::string(resolved.get());
}

Result<UniqueFd> openForReading(const std::string& path) {
    // Non-blocking so that a FIFO put in place of a file cannot stall the
    // caller; reads are blocking again afterwards.
    auto fd = io::open(path, {.nonBlocking = true});
    if (!fd) {
        return fd.error();
    }
    if (::fcntl(fd->get(), F_SETFL, 0) != 0) {
        return lastSystemError();
    }
    return std::move(*fd);
}

// ---------------------------------------------------------------------------
// Directories

namespace {

bool isDotOrDotDot(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

std::string withOneTrailingSlash(std::string path) {
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    return path + '/';
}

}  // namespace

Status makeDirectory(const std::string& path, uint32_t mode) {
    const Status made = io::makeDirectoryAt(AT_FDCWD, path, mode);
    if (made) {
        return {};
    }
    // Directory creation reports an existing path as "already exists", and
    // ENOENT here always means a missing parent, which Windows calls a
    // missing path.
    const int error = made.error().errnoValue();
    if (error == EEXIST) {
        return Error::windows(WinError::kAlreadyExists, error);
    }
    return error == ENOENT ? Error::windows(WinError::kPathNotFound, error)
                           : Error::fromErrno(error);
}

Status renameNoReplace(const std::string& from, const std::string& to) {
    const Status renamed = io::renameAt(AT_FDCWD, from, AT_FDCWD, to, true);
    if (renamed) {
        return {};
    }
    // A name that is taken is "already exists", as for directory creation.
    const int error = renamed.error().errnoValue();
    return error == EEXIST ? Error::windows(WinError::kAlreadyExists, error)
                           : Error::fromErrno(error);
}

Status makeDirectoryChain(const std::string& path, uint32_t mode) {
    if (!path.starts_with('/')) {
        return Error::fromErrno(EINVAL);
    }
    auto root = io::open("/", {.directory = true, .followLink = true});
    if (!root) {
        return root.error();
    }
    UniqueFd at = std::move(*root);
    const uid_t self = ::geteuid();
    auto trusted = [&](uid_t owner) { return owner == 0 || owner == self; };
    return walkDirectoryChain(path, 0, "/", [&](const std::string& name) -> Status {
        auto next = io::openAt(at.get(), name, {.directory = true});
        if (!next && next.error().errnoValue() == ENOENT) {
            const Status made = io::makeDirectoryAt(at.get(), name, mode);
            if (!made && made.error().errnoValue() != EEXIST) {
                return made.error();
            }
            next = io::openAt(at.get(), name, {.directory = true});
        }
        if (!next && (next.error().errnoValue() == ELOOP || next.error().errnoValue() == ENOTDIR)) {
            // A link is followed only when it and the directory holding it
            // belong to root or to this process's user.
            struct stat linkInfo {};
            struct stat holder {};
            if (::fstatat(at.get(), name.c_str(), &linkInfo, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(linkInfo.st_mode) && ::fstat(at.get(), &holder) == 0 &&
                trusted(linkInfo.st_uid) && trusted(holder.st_uid)) {
                next = io::openAt(at.get(), name, {.directory = true, .followLink = true});
            } else {
                return Error::fromErrno(ELOOP);
            }
        }
        if (!next) {
            return next.error();
        }
        at = std::move(*next);
        return {};
    });
}

Status renameReplacing(const std::string& from, const std::string& to) {
    return io::renameAt(AT_FDCWD, from, AT_FDCWD, to);
}

Status truncateDescriptor(int fd, uint64_t size) {
    return io::truncate(fd, size);
}

Status removeFile(const std::string& path) {
    return io::removeAt(AT_FDCWD, path);
}

Status removeEmptyDirectory(const std::string& path) {
    const Status removed = io::removeAt(AT_FDCWD, path, io::Remove::Directory);
    if (removed) {
        return {};
    }
    const int error = removed.error().errnoValue();
    return error == EEXIST || error == ENOTEMPTY ? Error::windows(WinError::kDirNotEmpty, error)
                                                 : Error::fromErrno(error);
}

std::string temporaryDirectory() {
    const char* configured = std::getenv("TMPDIR");
    if (configured != nullptr && configured[0] == '/' && isDirectory(configured)) {
        return withOneTrailingSlash(configured);
    }
    return "/tmp/";
}

std::string systemDirectory() {
    constexpr const char* kMultiarchDirectory = "/usr/lib/x86_64-linux-gnu/";
    return isDirectory(kMultiarchDirectory) ? kMultiarchDirectory : "/usr/lib/";
}

std::string findProgram(const std::string& name) {
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        return name;
    }
    static constexpr const char* kProgramDirectories[] = {
        "/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"};
    for (const char* directory : kProgramDirectories) {
        std::string path = std::string(directory) + "/" + name;
        if (isRegularFile(path)) {
            return path;
        }
    }
    return {};
}

// ---------------------------------------------------------------------------
// Pattern enumeration

namespace {

FileType typeOfEntry(int directoryFd, const struct dirent& entry) {
    switch (entry.d_type) {
        case DT_REG:
            return FileType::kRegular;
        case DT_DIR:
            return FileType::kDirectory;
        case DT_LNK:
            return FileType::kSymlink;
        case DT_UNKNOWN:
            break;  // the file system does not say: ask for the entry itself
        default:
            return FileType::kOther;
    }
    struct stat status {};
    if (::fstatat(directoryFd, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return FileType::kOther;
    }
    return typeOfMode(status.st_mode);
}

}  // namespace

Result<std::vector<DirectoryEntry>> enumerateMatching(
    const std::string& directory, const std::function<bool(std::string_view)>& select) {
    auto opened = io::open(directory, {.directory = true, .followLink = true});
    UniqueDir stream = opened ? streamOver(std::move(*opened)) : UniqueDir();
    if (!stream) {
        const int error = opened ? errno : opened.error().errnoValue();
        return error == ENOENT || error == ENOTDIR ? Error::windows(WinError::kPathNotFound, error)
                                                   : Error::fromErrno(error);
    }
    std::vector<DirectoryEntry> entries;
    while (const struct dirent* entry = ::readdir(stream.get())) {
        if (!isDotOrDotDot(entry->d_name) && select(std::string_view(entry->d_name))) {
            entries.push_back({entry->d_name, typeOfEntry(::dirfd(stream.get()), *entry)});
        }
    }
    return entries;
}

// ---------------------------------------------------------------------------
// Safe tree removal

namespace {

#ifndef STATX_ATTR_MOUNT_ROOT
#define STATX_ATTR_MOUNT_ROOT 0x00002000
#endif

// At most this many directories of the tree are held open at a time; levels
// further up are closed and opened again through ".." of the level below when
// the walk returns to them, so the depth of a tree is not limited by the
// descriptors a process may have.
constexpr size_t kMaxOpenLevels = 64;

struct EntryStatus {
    mode_t mode = 0;
    uid_t uid = 0;
    dev_t device = 0;
    ino_t inode = 0;
    bool mountRoot = false;  // also catches bind mounts of the same file system
};

// Facts about `name` in `directoryFd` (or the directory itself for ""),
// never following a link.
std::optional<EntryStatus> statEntry(int directoryFd, const char* name) {
    struct statx status {};
    int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    if (::statx(directoryFd, name, flags, STATX_TYPE | STATX_UID | STATX_INO, &status) != 0) {
        return std::nullopt;
    }
    EntryStatus entry;
    entry.mode = status.stx_mode;
    entry.uid = status.stx_uid;
    entry.device = makedev(status.stx_dev_major, status.stx_dev_minor);
    entry.inode = status.stx_ino;
    entry.mountRoot = (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                      (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return entry;
}

// A directory left alone because it is not ours to remove.
Error accessDenied() {
    return Error::fromErrno(EACCES);
}

class TreeRemover {
  public:
    explicit TreeRemover(std::vector<std::string>* skipped) : skipped_(skipped) {}

    Status removeTree(int parentFd, const std::string& name, const std::string& path);

  private:
    using Identity = std::pair<dev_t, ino_t>;

    struct Level {
        UniqueDir stream;  // closed while the level is far above the current one
        std::string name;  // in the level above
        Identity identity;
    };

    // Opens the directory `name` in `parentFd` without following a link and
    // checks it is still the directory `expected` described.
    UniqueDir openDirectory(int parentFd, const char* name, const EntryStatus& expected);
    void removeEntry(const char* name);
    void descend(UniqueDir stream, const char* name, const EntryStatus& status);
    bool reopenParentOfCurrent();
    void finishLevel();
    std::string pathOf(const char* name) const;
    void skip(const std::string& path, const Identity& identity, Error error);
    void fail(Error error);
    // Removes the entry; false (the error kept) unless it is gone, whoever
    // removed it.
    bool removeName(int directoryFd, const char* name, io::Remove what);

    std::vector<std::string>* skipped_;
    std::vector<Level> levels_;
    size_t firstOpenLevel_ = 0;  // every level from here down holds its stream
    // Directories skipped or not removable: a level read again after it was
    // reopened passes over them instead of entering or reporting them twice.
    std::set<Identity> leftAlone_;
    std::string rootPath_;
    int rootParentFd_ = -1;
    dev_t device_ = 0;
    uid_t owner_ = ::geteuid();
    std::optional<Error> firstError_;
};

void TreeRemover::fail(Error error) {
    if (!firstError_) {
        firstError_ = error;
    }
}

bool TreeRemover::removeName(int directoryFd, const char* name, io::Remove what) {
    const Status removed = io::removeAt(directoryFd, name, what);
    if (!removed && removed.error().errnoValue() != ENOENT) {
        fail(removed.error());
        return false;
    }
    return true;
}

void TreeRemover::skip(const std::string& path, const Identity& identity, Error error) {
    leftAlone_.insert(identity);
    if (skipped_ != nullptr) {
        skipped_->push_back(path);
    }
    fail(error);
}

// Paths are built only for reports: a deep tree's paths are long.
std::string TreeRemover::pathOf(const char* name) const {
    std::string path = rootPath_;
    for (size_t level = 1; level < levels_.size(); ++level) {
        path += '/' + levels_[level].name;
    }
    return path + '/' + name;
}

UniqueDir TreeRemover::openDirectory(int parentFd, const char* name, const EntryStatus& expected) {
    auto opened = io::openAt(parentFd, name, {.directory = true});
    if (!opened) {
        errno = opened.error().errnoValue();
        return {};
    }
    UniqueFd fd = std::move(*opened);
    // Replaced between the look and the open: leave it alone.
    auto status = statEntry(fd.get(), "");
    if (!status || status->device != expected.device || status->inode != expected.inode ||
        status->uid != owner_) {
        errno = EACCES;
        return {};
    }
    return streamOver(std::move(fd));
}

void TreeRemover::removeEntry(const char* name) {
    const int directoryFd = ::dirfd(levels_.back().stream.get());
    auto status = statEntry(directoryFd, name);
    if (!status) {
        if (errno != ENOENT) {
            fail(Error::fromErrno(errno));
        }
        return;
    }
    if (!S_ISDIR(status->mode)) {
        // Files, links, sockets...: the entry itself goes, never a link's target.
        removeName(directoryFd, name, io::Remove::File);
        return;
    }
    const Identity identity{status->device, status->inode};
    if (leftAlone_.contains(identity)) {
        return;
    }
    if (status->device != device_ || status->mountRoot || status->uid != owner_) {
        // Another mount, or another owner's: not ours to empty.
        skip(pathOf(name), identity, accessDenied());
        return;
    }
    UniqueDir stream = openDirectory(directoryFd, name, *status);
    if (!stream) {
        skip(pathOf(name), identity, Error::fromErrno(errno));
        return;
    }
    descend(std::move(stream), name, *status);
}

void TreeRemover::descend(UniqueDir stream, const char* name, const EntryStatus& status) {
    levels_.push_back({std::move(stream), name, {status.device, status.inode}});
    if (levels_.size() - firstOpenLevel_ > kMaxOpenLevels) {
        levels_[firstOpenLevel_++].stream.reset();
    }
}

// Opens the level above the current one again through "..", and checks it is
// the directory that was there.
bool TreeRemover::reopenParentOfCurrent() {
    Level& parent = levels_[levels_.size() - 2];
    auto reopened = io::openAt(::dirfd(levels_.back().stream.get()), "..", {.directory = true});
    UniqueFd fd = reopened ? std::move(*reopened) : UniqueFd();
    auto opened = fd ? statEntry(fd.get(), "") : std::nullopt;
    if (!opened || Identity{opened->device, opened->inode} != parent.identity ||
        opened->uid != owner_) {
        return false;
    }
    parent.stream = streamOver(std::move(fd));
    firstOpenLevel_ = levels_.size() - 2;
    return static_cast<bool>(parent.stream);
}

void TreeRemover::finishLevel() {
    if (levels_.size() >= 2 && !levels_[levels_.size() - 2].stream && !reopenParentOfCurrent()) {
        // The tree was moved while it was being removed: what is left of it
        // is no longer where it was, so the walk ends here.
        skip(rootPath_, levels_.front().identity, accessDenied());
        levels_.clear();
        return;
    }
    const std::string name = std::move(levels_.back().name);
    const Identity identity = levels_.back().identity;
    levels_.pop_back();  // closes the directory before it is removed
    const int parentFd = levels_.empty() ? rootParentFd_ : ::dirfd(levels_.back().stream.get());
    if (!removeName(parentFd, name.c_str(), io::Remove::Directory)) {
        leftAlone_.insert(identity);
    }
}

Status TreeRemover::removeTree(int parentFd, const std::string& name, const std::string& path) {
    auto status = statEntry(parentFd, name.c_str());
    if (!status) {
        return errno == ENOENT ? Status() : Status(Error::fromErrno(errno));
    }
    if (!S_ISDIR(status->mode)) {
        removeName(parentFd, name.c_str(), io::Remove::File);
        return firstError_ ? Status(*firstError_) : Status();
    }
    if (status->uid != owner_) {
        return accessDenied();
    }
    UniqueDir stream = openDirectory(parentFd, name.c_str(), *status);
    if (!stream) {
        return Error::fromErrno(errno);
    }
    rootParentFd_ = parentFd;
    rootPath_ = path;
    device_ = status->device;
    descend(std::move(stream), name.c_str(), *status);
    while (!levels_.empty()) {
        errno = 0;
        const struct dirent* entry = ::readdir(levels_.back().stream.get());
        if (entry == nullptr) {
            if (errno != 0) {
                fail(Error::fromErrno(errno));
            }
            finishLevel();
        } else if (!isDotOrDotDot(entry->d_name)) {
            removeEntry(entry->d_name);
        }
    }
    return firstError_ ? Status(*firstError_) : Status();
}

}  // namespace

Status removeTreeSafely(const std::string& path, std::vector<std::string>* skipped) {
    std::string_view trimmed(path);
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.remove_suffix(1);
    }
    size_t slash = trimmed.rfind('/');
    std::string name(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
    std::string parent(slash == std::string_view::npos ? "."
                       : slash == 0                    ? "/"
                                                       : trimmed.substr(0, slash));
    if (name.empty() || name == "." || name == "..") {
        return Error::fromErrno(EINVAL);  // "", "/", "x/." and the like
    }
    auto opened = io::open(parent, {.directory = true, .followLink = true});
    if (!opened) {
        return opened.error().errnoValue() == ENOENT ? Status() : Status(opened.error());
    }
    const UniqueFd parentFd = std::move(*opened);
    return TreeRemover(skipped).removeTree(parentFd.get(), name, std::string(trimmed));
}

Result<std::vector<std::string>> entryNamesAt(int directoryFd) {
    auto opened = io::openAt(directoryFd, ".", {.directory = true, .followLink = true});
    if (!opened) {
        return opened.error();
    }
    UniqueDir stream = streamOver(std::move(*opened));
    if (!stream) {
        return lastSystemError();
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(stream.get())) {
        if (!isDotOrDotDot(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

}  // namespace holm::platform
