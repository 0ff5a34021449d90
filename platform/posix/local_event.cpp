#include "platform/local_event.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>

#include "platform/io.h"

namespace holm::platform {

Result<UniqueFd> createLocalEvent(bool initiallySet) {
    UniqueFd event(::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!event) {
        return lastSystemError();
    }
    return event;
}

Status setLocalEvent(int event) {
    const uint64_t one = 1;
    const Status written =
        io::writeFull(event, std::span(reinterpret_cast<const uint8_t*>(&one), sizeof one));
    // EAGAIN means the counter is saturated: the event is set already.
    return written.ok() || written.error().errnoValue() == EAGAIN ? Status() : written;
}

bool isLocalEventSet(int event) {
    return io::waitReadable(event, io::deadlineIn(std::chrono::milliseconds(0))).valueOr(false);
}

}  // namespace holm::platform
