// A list of registered handlers that is walked while it may change: the one
// protocol of the core's service handlers, a configuration store's handlers
// and the gateway's subscribers.
//
// An entry is a handler pointer, or a record whose `handler` member is one
// (with the object it was registered through). A walk takes a snapshot under
// the lock and calls each entry with the lock released, so a handler may
// register or unregister handlers (itself included) from inside its call: an
// entry registered during a walk is called from the next walk on, and one
// removed during a walk is not called by it any more. Removing returns only
// when no call of the removed handler runs on another thread, so its owner
// may destroy it right after; it never waits for a call on its own thread (a
// handler that removes itself returns first). The list lock is never held
// while a handler runs.
//
// Remaining risk: two handlers that remove each other from calls running on
// two threads at once wait for each other for good.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "common/running_calls.h"

namespace holm::common {

// The handler of an entry: the entry itself, or its `handler` member.
template <typename Entry>
struct HandlerOfEntry {
    static auto* of(const Entry& entry) { return entry.handler; }
};

template <typename Handler>
struct HandlerOfEntry<Handler*> {
    static Handler* of(Handler* entry) { return entry; }
};

template <typename Entry>
class HandlerList {
  public:
    using Handler =
        std::remove_pointer_t<decltype(HandlerOfEntry<Entry>::of(std::declval<Entry>()))>;

    // Appends an entry; one registered twice is called twice. Raises
    // std::length_error("list<T> too long") at the list's maximum.
    void add(const Entry& entry) EXCLUDES(lock_) {
        MutexLock guard(lock_);
        appendLocked(entry);
    }
    // Appends an entry unless an equal one is registered; false then.
    bool addOnce(const Entry& entry) EXCLUDES(lock_) {
        MutexLock guard(lock_);
        if (registered(entry)) {
            return false;
        }
        appendLocked(entry);
        return true;
    }

    // Removes every entry of `handler`, or only the first one, then waits
    // until no call of `handler` runs on another thread (also when it was
    // not registered: another thread may have removed it and a call of it
    // still runs). The number of entries removed.
    size_t removeAll(Handler* handler) EXCLUDES(lock_) { return removeHandler(handler, false); }
    bool removeFirst(Handler* handler) EXCLUDES(lock_) { return removeHandler(handler, true) != 0; }
    // Removes every entry for which `match(entry)` is true, then waits until
    // no call of their handlers runs on another thread.
    template <typename Match>
    size_t removeWhere(Match match) EXCLUDES(lock_) {
        MutexLock guard(lock_);
        std::vector<Handler*> removed;
        std::erase_if(entries_, [&](const Entry& entry) {
            if (!match(entry)) {
                return false;
            }
            removed.push_back(HandlerOfEntry<Entry>::of(entry));
            return true;
        });
        waitForCallsElsewhere(guard, [&](Handler* running) {
            return std::find(removed.begin(), removed.end(), running) != removed.end();
        });
        return removed.size();
    }

    // Calls `call(entry)` if the entry is still registered, noted as a
    // running call (ended also when `call` throws); false when it was not
    // registered any more. Callers pass plugin calls through the boundary.
    template <typename Call>
    bool callIfRegistered(const Entry& entry, Call call) EXCLUDES(lock_) {
        Handler* handler = HandlerOfEntry<Entry>::of(entry);
        {
            MutexLock guard(lock_);
            if (!registered(entry)) {
                return false;
            }
            running_.begin(lock_, handler);
        }
        struct CallEnd {
            HandlerList& list;
            Handler* handler;
            ~CallEnd() { list.running_.end(list.lock_, handler); }
        } end{*this, handler};
        call(entry);
        return true;
    }
    // Calls `call(entry)` for every entry registered when the walk begins,
    // in registration order, skipping those removed meanwhile.
    template <typename Call>
    void forEach(Call call) EXCLUDES(lock_) {
        for (const Entry& entry : snapshot()) {
            callIfRegistered(entry, call);
        }
    }

    // The entries registered now.
    std::vector<Entry> snapshot() const EXCLUDES(lock_) {
        MutexLock guard(lock_);
        return entries_;
    }
    size_t size() const EXCLUDES(lock_) {
        MutexLock guard(lock_);
        return entries_.size();
    }
    // Number of removals waiting for calls on other threads to end.
    size_t waitingRemovals() const EXCLUDES(lock_) {
        MutexLock guard(lock_);
        return waitingRemovals_;
    }

  private:
    static constexpr size_t kMaxEntries = std::numeric_limits<int32_t>::max();

    void appendLocked(const Entry& entry) REQUIRES(lock_) {
        if (entries_.size() >= kMaxEntries) {
            throw std::length_error("list<T> too long");
        }
        entries_.push_back(entry);
    }

    bool registered(const Entry& entry) const REQUIRES(lock_) {
        return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
    }

    size_t removeHandler(Handler* handler, bool firstOnly) EXCLUDES(lock_) {
        MutexLock guard(lock_);
        size_t removed = 0;
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (HandlerOfEntry<Entry>::of(*it) != handler || (firstOnly && removed != 0)) {
                ++it;
                continue;
            }
            it = entries_.erase(it);
            ++removed;
        }
        waitForCallsElsewhere(guard, [handler](Handler* running) { return running == handler; });
        return removed;
    }

    template <typename Predicate>
    void waitForCallsElsewhere(MutexLock& guard, Predicate removed) REQUIRES(lock_) {
        ++waitingRemovals_;
        running_.waitForOtherThreads(lock_, guard, removed);
        --waitingRemovals_;
    }

    mutable Mutex lock_;
    std::vector<Entry> entries_ GUARDED_BY(lock_);
    RunningCalls<Handler> running_;
    size_t waitingRemovals_ GUARDED_BY(lock_) = 0;
};

}  // namespace holm::common
