#include "platform/epoll_set.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace holm::platform {

EpollSet::EpollSet() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {}

bool EpollSet::add(int fd, uint64_t key) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    return ::epoll_ctl(fd_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void EpollSet::remove(int fd) {
    // Fails only for a descriptor that is not a member: nothing to undo.
    (void)::epoll_ctl(fd_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

int EpollSet::wait(std::span<uint64_t> ready, Deadline deadline) {
    constexpr size_t kBatch = 64;
    epoll_event events[kBatch];
    const int capacity = static_cast<int>(std::min(ready.size(), kBatch));
    for (;;) {
        int timeout = -1;
        if (deadline != Deadline::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            timeout =
                left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
        }
        const int count = ::epoll_wait(fd_.get(), events, capacity, timeout);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (count == 0 && timeout != 0 && std::chrono::steady_clock::now() < deadline) {
            continue;  // woke early (rounding): the deadline has not passed
        }
        for (int i = 0; i < count; ++i) {
            ready[static_cast<size_t>(i)] = events[i].data.u64;
        }
        return count;
    }
}

}  // namespace holm::platform
