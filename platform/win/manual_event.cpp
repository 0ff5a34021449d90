#include "platform/manual_event.h"

#include <algorithm>

#include "platform/win/native.h"

namespace holm::platform {
namespace {

DWORD millisecondsUntil(ManualEvent::Deadline deadline) {
    if (deadline == ManualEvent::Deadline::max()) {
        return INFINITE;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<DWORD>(std::clamp<int64_t>(left.count(), 0, INFINITE - 1));
}

}  // namespace

// A manual-reset event object of the system, kept in the descriptor table
// so that it can be waited on with the other waitables.
ManualEvent::ManualEvent() {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event != nullptr) {
        const int fd = win::adoptHandle(event, win::HandleKind::Event);
        if (fd >= 0) {
            fd_.reset(fd);
        }
    }
}

void ManualEvent::set() {
    if (fd_.valid()) {
        ::SetEvent(win::handleOf(fd_.get()));
    }
}

void ManualEvent::reset() {
    if (fd_.valid()) {
        ::ResetEvent(win::handleOf(fd_.get()));
    }
}

bool ManualEvent::isSet() const {
    return fd_.valid() && ::WaitForSingleObject(win::handleOf(fd_.get()), 0) == WAIT_OBJECT_0;
}

bool ManualEvent::waitUntil(Deadline deadline) const {
    HANDLE event = win::handleOf(fd_.get());
    if (event == INVALID_HANDLE_VALUE) {
        return false;  // an event that could not be made is never set
    }
    for (;;) {
        const DWORD result = ::WaitForSingleObject(event, millisecondsUntil(deadline));
        if (result == WAIT_OBJECT_0) {
            return true;
        }
        if (result != WAIT_TIMEOUT || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
}

}  // namespace holm::platform
