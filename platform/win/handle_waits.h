// "Wait for any one" over any number of handles: what the wait set and the
// epoll set of this backend are made of.
//
// Each member is a descriptor of the table whose handle the system waits on
// with a thread-pool wait (one-shot). When it is signalled, the pool's
// callback queues the member and wakes the waiter, which then waits on
// nothing but its own condition: a wake costs the same for 10 or 10,000
// members, and there is no limit of 64 handles. The system keeps the
// waits (one wait object each; Windows serves them through the pool's
// completion port, Wine from threads of 63 handles each) and no thread of
// ours.
//
// Level-triggered: a member reported by a wait is not armed again at once;
// the next wait first looks whether it is still signalled (reported again)
// and arms it only if not. So the waiter may act on a source (reset it)
// after the wait returned, as with epoll. Sources are manual-reset events
// or other objects that stay signalled; an auto-reset event would be
// consumed by the pool's wait.
//
// A descriptor closed while it is a member leaves every set it is in before
// its handle is closed (closeDescriptor calls endWaitsOn), as a closed
// descriptor leaves an epoll set.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/result.h"
#include "platform/win/native.h"

namespace holm::platform::win {

class HandleWaits {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    HandleWaits();
    ~HandleWaits();
    HandleWaits(const HandleWaits&) = delete;
    HandleWaits& operator=(const HandleWaits&) = delete;

    // Makes the descriptor `fd` a member reported as `key`: EBADF for a
    // descriptor that is not open, EEXIST when it is a member already, EPERM
    // for a file or directory (nothing to wait for).
    Status add(int fd, uint64_t key);
    // Ends the membership of `fd` (none: nothing happens).
    void remove(int fd);
    // Any thread: the current or next wait reports `key` once (several
    // posts before that wait are one).
    void post(uint64_t key);
    // Waits until a member is signalled, a key was posted or `deadline`
    // passes; the keys written into `ready` (none at the deadline). Members
    // beyond the span's size are reported by the next wait.
    size_t wait(std::span<uint64_t> ready, Deadline deadline);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// Ends the memberships of `handle` in every set: before a descriptor's
// handle is closed.
void endWaitsOn(HANDLE handle);

}  // namespace holm::platform::win
