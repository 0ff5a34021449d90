// A lock with the critical-section contract: the owning thread may take it
// again (it must then release it as often), other threads wait.
#pragma once

#include <mutex>

namespace Tandro::Utilities {

class CriticalSection {
  public:
    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }

    // The standard lockable names, so that std::lock_guard and
    // std::scoped_lock work with it.
    void lock() { Lock(); }
    void unlock() { Unlock(); }

  private:
    std::recursive_mutex mutex_;
};

}  // namespace Tandro::Utilities
