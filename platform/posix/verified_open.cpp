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
    const auto got = io::readAt(fd, std::span(static_cast<uint8_t*>(buffer), size), offset);
    return got ? static_cast<long long>(*got) : -1;
}

std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

int createNewFile(const std::string& path, std::string_view content, uint32_t mode) {
    auto file = io::open(
        path, {.access = io::Access::Write, .create = true, .exclusive = true, .mode = mode});
    if (!file) {
        return file.error().errnoValue();
    }
    if (const Status written = io::writeFull(file->get(), content); !written) {
        ::unlink(path.c_str());  // the error reported is the write's
        return written.error().errnoValue();
    }
    return 0;
}

int createFifo(const std::string& path, uint32_t mode) {
    return ::mkfifo(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

}  // namespace holm::platform
