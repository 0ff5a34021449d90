// A manual-reset event local to the process, with a reset and waits: an
// eventfd that is readable while the event is set, so it can be waited on
// together with every other waitable of the system (epoll_set.h).
#pragma once

#include <chrono>

#include "platform/unique_handle.h"

namespace holm::platform {

class ManualEvent {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    // An event that is not set. valid() tells whether it could be created.
    ManualEvent();
    bool valid() const { return fd_.valid(); }

    void set();
    void reset();
    bool isSet() const;
    // Waits until the event is set (true) or `deadline` passes (false).
    bool waitUntil(Deadline deadline) const;
    // Readable while the event is set.
    int descriptor() const { return fd_.get(); }

  private:
    UniqueFd fd_;
};

}  // namespace holm::platform
