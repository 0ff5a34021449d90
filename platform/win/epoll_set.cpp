#include "platform/epoll_set.h"

#include <cerrno>

namespace holm::platform {

// Not provided by this backend yet (see unsupported.h): never valid.
EpollSet::EpollSet() = default;

bool EpollSet::add(int, uint64_t) {
    errno = ENOTSUP;
    return false;
}

void EpollSet::remove(int) {}

int EpollSet::wait(std::span<uint64_t>, Deadline) {
    errno = ENOTSUP;
    return -1;
}

}  // namespace holm::platform
