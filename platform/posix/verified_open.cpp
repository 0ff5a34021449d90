#include "platform/verified_open.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

OpenedFile failure(OpenStatus status, int error = 0) {
    OpenedFile result;
    result.status = status;
    result.error = error;
    return result;
}

OpenStatus statusFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return OpenStatus::NotFound;
        case ELOOP:
            return OpenStatus::SymbolicLink;
        default:
            return OpenStatus::Failed;
    }
}

// Checks the descriptor's type and fills in what the caller needs to know.
OpenedFile describeOpened(int fd, bool wantDirectory) {
    UniqueFd owned(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return failure(OpenStatus::Failed, errno);
    }
    const bool rightType = wantDirectory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
    if (!rightType) {
        return failure(OpenStatus::WrongType);
    }
    OpenedFile result;
    result.status = OpenStatus::Opened;
    result.fd = std::move(owned);
    result.info = infoFrom(st);
    return result;
}

}  // namespace

OpenedFile openDirectory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return failure(error == ENOTDIR ? OpenStatus::WrongType : statusFromErrno(error), error);
    }
    return describeOpened(fd, true);
}

OpenedFile openFileAt(int directoryFd, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return failure(OpenStatus::Failed, EINVAL);
    }
    // Look before opening so that a device or FIFO is never opened at all.
    struct stat st {};
    if (::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        return failure(statusFromErrno(error), error);
    }
    if (S_ISLNK(st.st_mode)) {
        return failure(OpenStatus::SymbolicLink);
    }
    if (!S_ISREG(st.st_mode)) {
        return failure(OpenStatus::WrongType);
    }
    // The name may have been replaced since: O_NOFOLLOW and O_NONBLOCK keep
    // the open itself safe, and the descriptor's own type is checked again.
    const int fd = ::openat(directoryFd, name.c_str(),
                            O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        return failure(statusFromErrno(error), error);
    }
    return describeOpened(fd, false);
}

long long readAt(int fd, void* buffer, size_t size, uint64_t offset) {
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

int createNewFile(const std::string& path, std::string_view content, uint32_t mode) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       static_cast<mode_t>(mode)));
    if (!fd) {
        return errno;
    }
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t put = ::write(fd.get(), content.data() + written, content.size() - written);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            const int error = put < 0 ? errno : EIO;
            ::unlink(path.c_str());
            return error;
        }
        written += static_cast<size_t>(put);
    }
    return 0;
}

int createFifo(const std::string& path, uint32_t mode) {
    return ::mkfifo(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

}  // namespace holm::platform
