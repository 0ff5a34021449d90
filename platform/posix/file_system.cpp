#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"

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
std::optional<FileInfo> statWith(StatCall call, uint32_t* error) {
    struct stat status {};
    if (call(&status) != 0) {
        if (error != nullptr) {
            *error = windowsErrorFromErrno(errno);
        }
        return std::nullopt;
    }
    if (error != nullptr) {
        *error = WinError::kSuccess;
    }
    return infoOf(status);
}

bool hasType(const std::string& path, FileType type) {
    auto info = statPath(path);
    return info && info->type == type;
}

}  // namespace

std::optional<FileInfo> statPath(const std::string& path, uint32_t* error) {
    return statWith([&](struct stat* status) { return ::stat(path.c_str(), status); }, error);
}

std::optional<FileInfo> lstatPath(const std::string& path, uint32_t* error) {
    return statWith([&](struct stat* status) { return ::lstat(path.c_str(), status); }, error);
}

std::optional<FileInfo> statDescriptor(int fd, uint32_t* error) {
    return statWith([&](struct stat* status) { return ::fstat(fd, status); }, error);
}

bool pathExists(const std::string& path) {
    return statPath(path).has_value();
}

bool isDirectory(const std::string& path) {
    return hasType(path, FileType::kDirectory);
}

bool isRegularFile(const std::string& path) {
    return hasType(path, FileType::kRegular);
}

std::optional<uint64_t> fileSize(const std::string& path) {
    auto info = statPath(path);
    if (!info) {
        return std::nullopt;
    }
    return info->size;
}

UniqueFd openForReading(const std::string& path, uint32_t& error) {
    // Non-blocking so that a FIFO put in place of a file cannot stall the
    // caller; reads are blocking again afterwards.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
    if (!fd || ::fcntl(fd.get(), F_SETFL, 0) != 0) {
        error = windowsErrorFromErrno(errno);
        return {};
    }
    error = WinError::kSuccess;
    return fd;
}

}  // namespace holm::platform
