// When elements die. An element is destroyed only after its last delivery
// has ended: each delivery raises its in-use count (under the worker's list
// lock, while the worker selects it) and lowers it afterwards.
//
// Retiring an element (cancel, cancelAll, a fireNow after its delivery)
// dooms it: it is destroyed at once when no delivery runs, else by the
// delivery that ends last. A plugin thread then waits for that (without
// polling); a dispatcher thread never waits (it might be the thread the
// delivery waits for), so from inside any callback a cancel is deferred.
#pragma once

#include <chrono>
#include <memory>
#include <unordered_map>
#include <vector>

#include "async/element.h"
#include "common/mutex.h"

namespace holm::async {

class ElementLifetimes {
  public:
    ElementLifetimes() = default;
    ~ElementLifetimes();
    ElementLifetimes(const ElementLifetimes&) = delete;
    ElementLifetimes& operator=(const ElementLifetimes&) = delete;

    // Takes ownership of a new element and returns it.
    CHlmPlgAsyncElem* adopt(std::unique_ptr<CHlmPlgAsyncElem> element) EXCLUDES(mutex_);
    // The live element behind a plugin's pointer when `canceller` may
    // cancel it, held (not destroyed) until unclaim() or retireClaimed();
    // null for any other pointer (never an element, destroyed already, being
    // retired, or another plugin's element at a reused address).
    CHlmPlgAsyncElem* claim(HlmPlg::IAsyncEvent* event, const void* canceller) EXCLUDES(mutex_);
    void unclaim(CHlmPlgAsyncElem* element) EXCLUDES(mutex_);
    // Whether the pointer is a live element not being retired (tests and
    // diagnostics).
    bool isLive(HlmPlg::IAsyncEvent* event) EXCLUDES(mutex_);

    // A delivery of `element` begins / ends.
    void acquire(CHlmPlgAsyncElem* element) EXCLUDES(mutex_);
    void release(CHlmPlgAsyncElem* element) EXCLUDES(mutex_);

    // Dooms the elements (see above). With `wait`, returns once they are
    // destroyed.
    void retire(const std::vector<CHlmPlgAsyncElem*>& elements, bool wait) EXCLUDES(mutex_);
    // retire() for one claimed element, dropping the claim.
    void retireClaimed(CHlmPlgAsyncElem* element, bool wait) EXCLUDES(mutex_);

    // Waits until at least `count` deliveries are in progress.
    bool waitForDeliveriesInFlight(int64_t count, std::chrono::steady_clock::time_point deadline)
        EXCLUDES(mutex_);

  private:
    void destroyLocked(CHlmPlgAsyncElem* element) REQUIRES(mutex_);
    void retireLocked(common::MutexLock& lock, const std::vector<CHlmPlgAsyncElem*>& elements,
                      bool wait) REQUIRES(mutex_);
    // Whether an element of `pending` (address and serial) is still alive.
    bool anyAlive(const std::vector<std::pair<const void*, uint64_t>>& pending) const
        REQUIRES(mutex_);

    // Also guards each element's inUse, doomed and serial.
    common::Mutex mutex_;
    common::ConditionVariable changed_;
    std::unordered_map<const void*, std::unique_ptr<CHlmPlgAsyncElem>> live_ GUARDED_BY(mutex_);
    uint64_t nextSerial_ GUARDED_BY(mutex_) = 1;
    int64_t inFlight_ GUARDED_BY(mutex_) = 0;
};

// Whether the calling thread is one of the dispatcher's worker threads.
bool onDispatcherThread();
// Marks the calling thread as a worker thread for the rest of its life.
void markDispatcherThread();

}  // namespace holm::async
