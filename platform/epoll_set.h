// "Wait for any one" over many descriptors: one epoll instance (on Windows,
// thread-pool waits on the descriptors' handles). Waking costs the same for
// 10 or 10,000 members, and there is no limit of 64 handles. Members are
// level-triggered: one still signalled is reported again by the next wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

namespace holm::platform {

class EpollSet {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    EpollSet();
    ~EpollSet();
    EpollSet(const EpollSet&) = delete;
    EpollSet& operator=(const EpollSet&) = delete;
    bool valid() const;

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
    // The backend's waiting machinery.
    struct System;
    std::unique_ptr<System> system_;
};

}  // namespace holm::platform
