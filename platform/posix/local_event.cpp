#include "platform/local_event.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>

#include "platform/io.h"

namespace holm::platform {

UniqueFd createLocalEvent(bool initiallySet) {
    return UniqueFd(::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
}

bool setLocalEvent(int event) {
    const uint64_t one = 1;
    const Status written =
        io::writeFull(event, std::span(reinterpret_cast<const uint8_t*>(&one), sizeof one));
    // EAGAIN means the counter is saturated: the event is set already.
    return written || written.error().errnoValue() == EAGAIN;
}

bool isLocalEventSet(int event) {
    return io::waitReadable(event, io::deadlineIn(std::chrono::milliseconds(0))).valueOr(false);
}

}  // namespace holm::platform
