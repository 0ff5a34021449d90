// Which calls of registered handlers are running, and on which thread, so
// that unregistering a handler can wait until no call of it runs on another
// thread while never waiting for a call on its own thread (a handler that
// unregisters itself from inside its call returns first).
//
// The owner's lock guards this record together with the owner's list of
// registrations: every member that takes a lock argument or a held guard
// expects that lock.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

namespace holm {

template <typename Handler>
class RunningCalls {
  public:
    // Notes a call of `handler` starting on this thread; the lock is held.
    void begin(Handler* handler) { running_.push_back({handler, std::this_thread::get_id()}); }

    // Notes the end of this thread's latest call of `handler` (calls nest
    // when a handler broadcasts from inside a call) and wakes the waiters.
    void end(std::mutex& lock, Handler* handler) {
        {
            std::lock_guard guard(lock);
            const auto self = std::this_thread::get_id();
            for (auto call = running_.rbegin(); call != running_.rend(); ++call) {
                if (call->handler == handler && call->thread == self) {
                    running_.erase(std::next(call).base());
                    break;
                }
            }
        }
        ended_.notify_all();
    }

    // Waits, with `guard` held on entry and exit, until no handler for which
    // `removed(handler)` is true has a call running on another thread.
    template <typename Predicate>
    void waitForOtherThreads(std::unique_lock<std::mutex>& guard, Predicate removed) {
        const auto self = std::this_thread::get_id();
        ended_.wait(guard, [&] {
            return std::none_of(running_.begin(), running_.end(), [&](const Call& call) {
                return call.thread != self && removed(call.handler);
            });
        });
    }

  private:
    struct Call {
        Handler* handler;
        std::thread::id thread;
    };

    std::condition_variable ended_;
    std::vector<Call> running_;
};

}  // namespace holm
