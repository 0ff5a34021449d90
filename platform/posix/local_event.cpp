#include "platform/local_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace holm::platform {

UniqueFd createLocalEvent(bool initiallySet) {
    return UniqueFd(::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
}

bool setLocalEvent(int event) {
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(event, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    // EAGAIN means the counter is saturated: the event is set already.
    return written == static_cast<ssize_t>(sizeof one) || (written < 0 && errno == EAGAIN);
}

bool isLocalEventSet(int event) {
    pollfd entry{event, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready == 1 && (entry.revents & POLLIN) != 0;
}

}  // namespace holm::platform
