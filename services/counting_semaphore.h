// A counting semaphore of a mutex and a condition variable.
//
// The standard library's std::counting_semaphore of the toolchain we build
// with (libstdc++ 12) can lose a wake-up under contention: a waiter stays
// asleep while the count is positive. This one cannot: the count is read and
// changed only under its mutex.
#pragma once

#include <cstddef>

#include "common/mutex.h"

namespace holm::services {

class CountingSemaphore {
  public:
    explicit CountingSemaphore(std::ptrdiff_t initial) : count_(initial) {}

    // Waits until the count is positive, then takes one.
    void acquire() EXCLUDES(mutex_) {
        common::MutexLock lock(mutex_);
        while (count_ <= 0) {
            available_.wait(lock);
        }
        --count_;
    }

    // Adds `update` to the count and wakes that many waiters.
    void release(std::ptrdiff_t update = 1) EXCLUDES(mutex_) {
        {
            common::MutexLock lock(mutex_);
            count_ += update;
        }
        if (update == 1) {
            available_.notifyOne();
        } else {
            available_.notifyAll();
        }
    }

  private:
    common::Mutex mutex_;
    common::ConditionVariable available_;
    std::ptrdiff_t count_ GUARDED_BY(mutex_);
};

}  // namespace holm::services
