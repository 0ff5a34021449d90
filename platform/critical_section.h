// A critical section: a mutex the owning thread may enter again.
//
// Each `lock` (or successful `tryLock`) must be matched by one `unlock` from
// the same thread; other threads wait until the last one. Meets the standard
// Lockable requirements, so `std::lock_guard` and `std::unique_lock` work.
#pragma once

#include <mutex>

namespace holm::platform {

class CriticalSection {
  public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // Enters, waiting while another thread is inside.
    void lock() { mutex_.lock(); }

    // Leaves once; the section is free after as many calls as entries.
    void unlock() { mutex_.unlock(); }

    // Enters if no other thread is inside; never waits.
    bool tryLock() { return mutex_.try_lock(); }

    // The standard library's spelling, for std::unique_lock and std::scoped_lock.
    bool try_lock() { return tryLock(); }

  private:
    std::recursive_mutex mutex_;
};

}  // namespace holm::platform
