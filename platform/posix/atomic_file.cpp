#include "platform/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/path_parts.h"
#include "platform/io.h"

namespace holm::platform {

namespace {

Result<UniqueFd> duplicate(int fd) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        return lastSystemError();
    }
    return copy;
}

// Removes the leftovers of writers of `name` that died: ".<name>.tmp-*"
// regular files of this process's user that no one holds locked. Only in a
// directory no one else can write, where no one else can have put a file of
// that name.
void sweepLeftovers(int directory, std::string_view name) {
    struct stat info {};
    const uid_t self = ::geteuid();
    if (::fstat(directory, &info) != 0 || (info.st_uid != 0 && info.st_uid != self) ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return;
    }
    auto listing = duplicate(directory);
    if (!listing) {
        return;
    }
    DIR* entries = ::fdopendir(listing->get());
    if (entries == nullptr) {
        return;
    }
    (void)listing->release();  // the stream owns it now
    ::rewinddir(entries);
    const std::string prefix = "." + std::string(name) + ".tmp-";
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(entries)) {
        if (std::string_view(entry->d_name).starts_with(prefix)) {
            stale.emplace_back(entry->d_name);
        }
    }
    ::closedir(entries);
    for (const std::string& candidate : stale) {
        struct stat found {};
        if (::fstatat(directory, candidate.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(found.st_mode) || found.st_uid != self) {
            continue;
        }
        auto file = io::openAt(directory, candidate, {.nonBlocking = true});
        if (file && io::tryLockExclusive(file->get()).valueOr(false)) {
            (void)io::removeAt(directory, candidate);
        }
    }
}

}  // namespace

Result<FileReplacement> FileReplacement::begin(int temporaryDirectory,
                                               const std::string& temporaryName,
                                               int targetDirectory, const std::string& targetName,
                                               const AtomicWriteOptions& options) {
    if (temporaryName.empty() || targetName.empty() ||
        temporaryName.find('/') != std::string::npos || targetName.find('/') != std::string::npos) {
        return Error::fromErrno(EINVAL);
    }
    FileReplacement replacement;
    auto temporaryCopy = duplicate(temporaryDirectory);
    if (!temporaryCopy) {
        return temporaryCopy.error();
    }
    auto targetCopy = duplicate(targetDirectory);
    if (!targetCopy) {
        return targetCopy.error();
    }
    replacement.temporaryDirectory_ = std::move(*temporaryCopy);
    replacement.targetDirectory_ = std::move(*targetCopy);
    replacement.options_ = options;
    // A leftover of a writer that died: whoever may use this name (the
    // caller guarantees it is its own) replaces it. A failure shows at the
    // exclusive create below.
    (void)io::removeAt(temporaryDirectory, temporaryName);
    // Owner-only until commit gives it the target's mode: the new content
    // is never readable by more users than the old.
    auto file =
        io::openAt(temporaryDirectory, temporaryName,
                   {.access = io::Access::Write, .create = true, .exclusive = true, .mode = 0600});
    if (!file) {
        return file.error();
    }
    replacement.file_ = std::move(*file);
    replacement.temporaryName_ = temporaryName;  // from here on, removed unless committed
    replacement.targetName_ = targetName;
    // Fresh and exclusive: no one else holds it. A sweep that took it for
    // a leftover in the moment before the lock shows in the check below.
    if (auto locked = io::tryLockExclusive(replacement.file_.get()); !locked || !*locked) {
        return locked ? Error::fromErrno(EWOULDBLOCK) : locked.error();
    }
    struct stat own {};
    struct stat named {};
    if (::fstat(replacement.file_.get(), &own) != 0 ||
        ::fstatat(temporaryDirectory, temporaryName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        own.st_ino != named.st_ino || own.st_dev != named.st_dev) {
        return Error::fromErrno(EAGAIN);
    }
    return replacement;
}

Result<FileReplacement> FileReplacement::begin(const std::string& path,
                                               const AtomicWriteOptions& options) {
    const size_t slash = path.rfind('/');
    const std::string directoryPath = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name(common::fileNameOf(path));
    if (name.empty()) {
        return Error::fromErrno(EISDIR);
    }
    // The directory itself may be reached through links; the file is not.
    auto opened = io::open(directoryPath, {.directory = true, .followLink = true});
    if (!opened) {
        return opened.error();
    }
    UniqueFd directory = std::move(*opened);
    sweepLeftovers(directory.get(), name);
    return begin(directory.get(), temporaryNameFor(name), directory.get(), name, options);
}

// The owner, group and mode of the regular file now at the target name go
// to the temporary file; for a new name (or anything that is no regular
// file), the caller's mode. The owner first: changing it clears set-id bits.
namespace {

Status giveOwnerAndMode(int fd, const struct stat& own, uid_t owner, gid_t group, mode_t mode) {
    if ((owner != own.st_uid || group != own.st_gid) && ::fchown(fd, owner, group) != 0) {
        return lastSystemError();
    }
    if (::fchmod(fd, mode) != 0) {
        return lastSystemError();
    }
    return {};
}

}  // namespace

Status FileReplacement::adoptTarget() {
    struct stat own {};
    if (::fstat(file_.get(), &own) != 0) {
        return lastSystemError();
    }
    struct stat target {};
    uid_t owner = own.st_uid;
    gid_t group = own.st_gid;
    mode_t mode = static_cast<mode_t>(options_.mode & 07777);
    if (::fstatat(targetDirectory_.get(), targetName_.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(target.st_mode)) {
            owner = target.st_uid;
            group = target.st_gid;
            mode = target.st_mode & 07777;
        }
    } else if (errno != ENOENT) {
        return lastSystemError();
    }
    return giveOwnerAndMode(file_.get(), own, owner, group, mode);
}

Status copyOwnerAndMode(int from, int to) {
    struct stat source {};
    struct stat own {};
    if (::fstat(from, &source) != 0 || ::fstat(to, &own) != 0) {
        return lastSystemError();
    }
    if (!S_ISREG(source.st_mode)) {
        return Error::fromErrno(EINVAL);
    }
    return giveOwnerAndMode(to, own, source.st_uid, source.st_gid, source.st_mode & 07777);
}

Status FileReplacement::renameOverTarget() {
    // The temporary file stays open, and so locked, until it has the
    // target's name: a sweep never takes it for a leftover.
    return io::renameAt(temporaryDirectory_.get(), temporaryName_, targetDirectory_.get(),
                        targetName_);
}

}  // namespace holm::platform
