#include "platform/manual_event.h"

#include <cstdint>

#include "platform/io.h"
#include "platform/local_event.h"

namespace holm::platform {

ManualEvent::ManualEvent() {
    if (Result<UniqueFd> event = createLocalEvent(false)) {
        fd_ = std::move(event.value());
    }
}

void ManualEvent::set() {
    // Fails only for an event that could not be created (valid() is false).
    (void)setLocalEvent(fd_.get());
}

void ManualEvent::reset() {
    uint64_t count = 0;
    // Reading the counter clears it; EAGAIN means it was not set.
    (void)io::readSome(fd_.get(), std::span(reinterpret_cast<uint8_t*>(&count), sizeof count));
}

bool ManualEvent::isSet() const {
    return isLocalEventSet(fd_.get());
}

bool ManualEvent::waitUntil(Deadline deadline) const {
    return io::waitReadable(fd_.get(), deadline).valueOr(false);
}

}  // namespace holm::platform
