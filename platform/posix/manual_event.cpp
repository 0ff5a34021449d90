#include "platform/manual_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace holm::platform {

namespace {

// poll(2) of one descriptor for readability until `deadline`, retried on
// EINTR with the time left.
bool pollReadable(int fd, ManualEvent::Deadline deadline) {
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        int timeout = -1;
        if (deadline != ManualEvent::Deadline::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            timeout =
                left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) {
            return (entry.revents & POLLIN) != 0;
        }
        if (ready == 0) {
            if (timeout == -1) {
                continue;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            continue;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

ManualEvent::ManualEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void ManualEvent::set() {
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(fd_.get(), &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    // EAGAIN: the counter is saturated, so the event is set already.
}

void ManualEvent::reset() {
    uint64_t count = 0;
    ssize_t got;
    do {
        got = ::read(fd_.get(), &count, sizeof count);
    } while (got < 0 && errno == EINTR);
    // EAGAIN: it was not set.
}

bool ManualEvent::isSet() const {
    return pollReadable(fd_.get(), std::chrono::steady_clock::now());
}

bool ManualEvent::waitUntil(Deadline deadline) const {
    return pollReadable(fd_.get(), deadline);
}

}  // namespace holm::platform
