// "Wait for any one" over many descriptors: one epoll instance. Waking costs
// the same for 10 or 10,000 members, and there is no limit of 64 handles.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "platform/unique_handle.h"

namespace holm::platform {

class EpollSet {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    EpollSet();
    bool valid() const { return fd_.valid(); }

    // Watches `fd` for readability; `key` is what wait() reports for it.
    // False when the kernel refuses (limits, a descriptor that cannot be
    // polled); errno tells why.
    bool add(int fd, uint64_t key);
    // Stops watching `fd` (closing it does too).
    void remove(int fd);

    // Waits until at least one member is readable or `deadline` passes, and
    // fills `ready` with the keys of the readable members. The number of keys
    // written (0 at the deadline), or -1 when the wait failed.
    int wait(std::span<uint64_t> ready, Deadline deadline = Deadline::max());

  private:
    UniqueFd fd_;
};

}  // namespace holm::platform
