// Which calls of registered handlers are running, and on which thread, so
// that unregistering a handler can wait until no call of it runs on another
// thread while never waiting for a call on its own thread (a handler that
// unregisters itself from inside its call returns first).
//
// The owner's lock guards this record together with the owner's list of
// registrations: every member takes that lock as its first argument, and
// the analysis checks that it is held (or, for end, not held).
#pragma once

#include <algorithm>
#include <iterator>
#include <thread>
#include <vector>

#include "common/mutex.h"

namespace holm::common {

template <typename Handler>
class RunningCalls {
  public:
    // Notes a call of `handler` starting on this thread.
    void begin(Mutex& lock, Handler* handler) REQUIRES(lock) {
        running_.push_back({handler, std::this_thread::get_id()});
    }

    // Notes the end of this thread's latest call of `handler` (calls nest
    // when a handler broadcasts from inside a call) and wakes the waiters.
    void end(Mutex& lock, Handler* handler) EXCLUDES(lock) {
        {
            MutexLock guard(lock);
            const auto self = std::this_thread::get_id();
            for (auto call = running_.rbegin(); call != running_.rend(); ++call) {
                if (call->handler == handler && call->thread == self) {
                    running_.erase(std::next(call).base());
                    break;
                }
            }
        }
        ended_.notifyAll();
    }

    // Waits, with `lock` held through `guard` on entry and exit, until no
    // handler for which `removed(handler)` is true has a call running on
    // another thread.
    template <typename Predicate>
    void waitForOtherThreads(Mutex& lock, MutexLock& guard, Predicate removed) REQUIRES(lock) {
        const auto self = std::this_thread::get_id();
        while (std::any_of(running_.begin(), running_.end(), [&](const Call& call) {
            return call.thread != self && removed(call.handler);
        })) {
            ended_.wait(guard);
        }
    }

  private:
    struct Call {
        Handler* handler;
        std::thread::id thread;
    };

    ConditionVariable ended_;
    std::vector<Call> running_;
};

}  // namespace holm::common
