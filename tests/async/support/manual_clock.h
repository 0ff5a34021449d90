// A clock for the time worker that the test drives: time moves only when
// the test advances it, and a tick happens only when the test asks for one.
// tick() returns once the worker has handled the tick (and is waiting for
// the next), so a test can check what a tick delivered without waiting.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "async/clock.h"
#include "platform/epoll_set.h"
#include "platform/manual_event.h"

namespace holm::test {

class ManualClock final : public async::AsyncClock {
  public:
    int64_t nowSeconds() override { return seconds_.load(); }

    bool waitForTick(HlmPlg::IStopEvent& stop) override {
        {
            std::lock_guard lock(mutex_);
            handled_ = taken_;
            changed_.notify_all();
        }
        platform::EpollSet epoll;
        epoll.add(stop.getDescriptor(), 0);
        epoll.add(tickEvent_.descriptor(), 1);
        std::array<uint64_t, 2> ready{};
        (void)epoll.wait(ready);
        if (stop.isSet()) {
            return false;
        }
        std::lock_guard lock(mutex_);
        taken_ = requested_;
        tickEvent_.reset();
        return true;
    }

    void advance(int64_t seconds) { seconds_ += seconds; }

    // Makes the worker tick once and waits (at most 10 s) until it has
    // handled the tick; false if it did not.
    bool tick() {
        std::unique_lock lock(mutex_);
        const uint64_t wanted = ++requested_;
        tickEvent_.set();
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return handled_ >= wanted; });
    }

  private:
    std::atomic<int64_t> seconds_{1000};
    platform::ManualEvent tickEvent_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t requested_ = 0, taken_ = 0, handled_ = 0;
};

}  // namespace holm::test
