#include "platform/file_lock.h"

#include <cerrno>

#include "platform/io.h"

namespace holm::platform {

Result<FileLock> FileLock::acquire(const std::string& path) {
    auto file = io::open(path, {.access = io::Access::ReadWrite, .create = true, .mode = 0600});
    if (!file) {
        return file.error();
    }
    auto taken = io::tryLockExclusive(file->get());
    if (!taken) {
        return taken.error();
    }
    if (!*taken) {
        return Error::fromErrno(EWOULDBLOCK);
    }
    return FileLock(std::move(*file));
}

bool isLockHeld(const std::string& path) {
    auto file = io::open(path, {.access = io::Access::ReadWrite});
    if (!file) {
        return false;
    }
    auto taken = io::tryLockShared(file->get());
    return taken && !*taken;
}

}  // namespace holm::platform
