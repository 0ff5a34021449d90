#include "platform/verified_open.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/io.h"

namespace holm::platform {
namespace {

OpenedFileInfo infoFrom(const struct stat& st) {
    OpenedFileInfo info;
    info.identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    info.size = static_cast<uint64_t>(st.st_size);
    info.owner = static_cast<uint32_t>(st.st_uid);
    info.writableByGroupOrOthers = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return info;
}

OpenFailure failure(OpenRefusal refusal, int error = 0) {
    return {refusal, error};
}

OpenRefusal refusalFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return OpenRefusal::NotFound;
        case ELOOP:
            return OpenRefusal::SymbolicLink;
        default:
            return OpenRefusal::Failed;
    }
}

// Checks the descriptor's type and fills in what the caller needs to know.
OpenResult describeOpened(UniqueFd owned, bool wantDirectory) {
    struct stat st {};
    if (::fstat(owned.get(), &st) != 0) {
        return failure(OpenRefusal::Failed, errno);
    }
    const bool rightType = wantDirectory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
    if (!rightType) {
        return failure(OpenRefusal::WrongType);
    }
    OpenedFile result;
    result.fd = std::move(owned);
    result.info = infoFrom(st);
    return result;
}

}  // namespace

OpenResult openDirectory(const std::string& path) {
    auto opened = io::open(path, {.directory = true, .followLink = true});
    if (!opened) {
        const int error = opened.error().errnoValue();
        return failure(error == ENOTDIR ? OpenRefusal::WrongType : refusalFromErrno(error), error);
    }
    return describeOpened(std::move(*opened), true);
}

OpenResult openFileAt(int directoryFd, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return failure(OpenRefusal::Failed, EINVAL);
    }
    // Look before opening so that a device or FIFO is never opened at all.
    struct stat st {};
    if (::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        return failure(refusalFromErrno(error), error);
    }
    if (S_ISLNK(st.st_mode)) {
        return failure(OpenRefusal::SymbolicLink);
    }
    if (!S_ISREG(st.st_mode)) {
        return failure(OpenRefusal::WrongType);
    }
    // The name may have been replaced since: not following a link and not
    // blocking keep the open itself safe, and the descriptor's own type is
    // checked again.
    auto opened = io::openAt(directoryFd, name, {.nonBlocking = true});
    if (!opened) {
        const int error = opened.error().errnoValue();
        return failure(refusalFromErrno(error), error);
    }
    return describeOpened(std::move(*opened), false);
}

std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

Status createFifo(const std::string& path, uint32_t mode) {
    if (::mkfifo(path.c_str(), static_cast<mode_t>(mode)) != 0) {
        return lastSystemError();
    }
    return {};
}

}  // namespace holm::platform
