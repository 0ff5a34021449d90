// A counting semaphore of a mutex and a condition variable.
//
// The standard library's std::counting_semaphore of the toolchain we build
// with (libstdc++ 12) can lose a wake-up under contention: a waiter stays
// asleep while the count is positive. This one cannot: the count is read and
// changed only under its mutex.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace holm::services {

class CountingSemaphore {
  public:
    explicit CountingSemaphore(std::ptrdiff_t initial) : count_(initial) {}

    // Waits until the count is positive, then takes one.
    void acquire() {
        std::unique_lock lock(mutex_);
        available_.wait(lock, [this] { return count_ > 0; });
        --count_;
    }

    // Adds `update` to the count and wakes that many waiters.
    void release(std::ptrdiff_t update = 1) {
        {
            std::lock_guard lock(mutex_);
            count_ += update;
        }
        if (update == 1) {
            available_.notify_one();
        } else {
            available_.notify_all();
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable available_;
    std::ptrdiff_t count_;
};

}  // namespace holm::services
