#include "platform/epoll_set.h"

#include <cerrno>

#include "platform/win/handle_waits.h"

namespace holm::platform {

// Thread-pool waits on the members' handles (win/handle_waits.h).
struct EpollSet::System {
    win::HandleWaits waits;
};

EpollSet::EpollSet() : system_(std::make_unique<System>()) {}

EpollSet::~EpollSet() = default;

bool EpollSet::valid() const {
    return true;
}

bool EpollSet::add(int fd, uint64_t key) {
    const Status added = system_->waits.add(fd, key);
    if (!added) {
        errno = added.error().errnoValue();
        return false;
    }
    return true;
}

void EpollSet::remove(int fd) {
    system_->waits.remove(fd);
}

int EpollSet::wait(std::span<uint64_t> ready, Deadline deadline) {
    return static_cast<int>(system_->waits.wait(ready, deadline));
}

}  // namespace holm::platform
