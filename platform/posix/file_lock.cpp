#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/io.h"

namespace holm::platform {

Result<FileLock> FileLock::acquire(const std::string& path) {
    auto fd = io::open(path, {.access = io::Access::ReadWrite, .create = true, .mode = 0600});
    if (!fd) {
        return fd.error();
    }
    if (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) {
        return lastSystemError();
    }
    return FileLock(std::move(*fd));
}

bool isLockHeld(const std::string& path) {
    const UniqueFd fd = io::open(path, {.nonBlocking = true}).valueOr({});
    if (!fd) {
        return false;
    }
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd.get(), LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

}  // namespace holm::platform
