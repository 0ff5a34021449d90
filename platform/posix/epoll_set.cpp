#include "platform/epoll_set.h"

#include <sys/epoll.h>

#include "platform/io.h"
#include "platform/unique_handle.h"

namespace holm::platform {

struct EpollSet::System {
    UniqueFd fd{::epoll_create1(EPOLL_CLOEXEC)};
};

EpollSet::EpollSet() : system_(std::make_unique<System>()) {}

EpollSet::~EpollSet() = default;

bool EpollSet::valid() const {
    return system_->fd.valid();
}

bool EpollSet::add(int fd, uint64_t key) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    return ::epoll_ctl(system_->fd.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void EpollSet::remove(int fd) {
    // Fails only for a descriptor that is not a member: nothing to undo.
    (void)::epoll_ctl(system_->fd.get(), EPOLL_CTL_DEL, fd, nullptr);
}

int EpollSet::wait(std::span<uint64_t> ready, Deadline deadline) {
    const Result<size_t> count = io::waitEpoll(system_->fd.get(), ready, deadline);
    return count ? static_cast<int>(*count) : -1;
}

}  // namespace holm::platform
