// CAsyncImplObject: one worker of the dispatcher, a family of watches with
// its own element list, its own thread (a CThreadImpl running this object as
// its handler) and its own wait loop.
//
// The thread starts with the first registration and stops when a cancel
// from a plugin thread empties the list. A cancel made on a dispatcher
// thread never stops a thread (it might be the very thread, or one whose
// delivery waits for the caller): the worker then idles, with nothing to
// wait for, until the next registration or the Stop phase. After stopAll the
// worker is silent: its elements stay registered, nothing is delivered, and
// only a cancel that empties its list or the start of the core's next run
// (resume) returns it to idle.
//
// A thread that is to end is told so (its stop event set) under the start
// lock, before any new thread can start, and is joined after the lock is
// released (it may be delivering into plugin code that waits for it). Every
// run therefore starts a new thread only once the old one was told to stop;
// each run looks at the whole list (or its worker's whole watch state) when
// it starts, and a loop that sees its stop event among its ready events
// returns before it takes anything else in, so an ending thread never
// swallows a registration or a change meant for its successor.
//
// Locks: the start lock before the list lock; the list lock is never held
// while a handler runs or while the worker waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "async/element.h"
#include "async/element_lifetimes.h"
#include "async/plugin_gate.h"
#include "async/thread_impl.h"
#include "hlmplg/handlers.h"
#include "platform/manual_event.h"

namespace holm::async {

// The keys every worker's wait set gives its stop event and its wake-up
// descriptor; a worker's own descriptors take the keys after them.
inline constexpr uint64_t kStopKey = 0;
inline constexpr uint64_t kWakeKey = 1;

// Whether the stop key is among the first `count` ready keys: a loop looks
// for it before it handles any other key of the batch.
template <class Keys>
bool stopIsReady(const Keys& ready, int count) {
    for (int i = 0; i < count; ++i) {
        if (ready[static_cast<size_t>(i)] == kStopKey) {
            return true;
        }
    }
    return false;
}

class CAsyncImplObject : public HlmPlg::IThreadHandler {
  public:
    CAsyncImplObject(PluginCallGate& gate, ElementLifetimes& lifetimes);
    ~CAsyncImplObject() override;
    CAsyncImplObject(const CAsyncImplObject&) = delete;
    CAsyncImplObject& operator=(const CAsyncImplObject&) = delete;

    // Appends the element, starting the thread first if the worker is idle.
    // False when the worker cannot watch it (nothing is added).
    bool add(CHlmPlgAsyncElem* element);
    // Removes the element from the list (no effect if it is not there);
    // true when it was there.
    bool remove(CHlmPlgAsyncElem* element);
    // Removes and returns every element of `owner`.
    std::vector<CHlmPlgAsyncElem*> removeOwnedBy(const AsyncOwner* owner);
    // Stops the thread if the list is empty (called after a cancel made on
    // a plugin thread); the worker is then idle again.
    void idleIfEmpty();
    // Stops the thread for good; the worker stays marked started.
    void stopThread();
    // A new run of the core: a worker stopped for good is idle again, and
    // starts its thread at once when elements wait in its list.
    void resume();

    // Session changes (through the service-control hook). Nothing here;
    // workers that watch per-user state override them.
    virtual void onSessionLogoff() {}
    virtual void onSessionLogon(const std::u16string& sid) { (void)sid; }

    bool threadRunning();
    size_t elementCount();

  protected:
    // Called with an element before it joins the list (false refuses it),
    // and after it left the list by a cancel: for workers that hold a watch
    // per element or per distinct watched object.
    virtual bool attach(CHlmPlgAsyncElem& element) {
        (void)element;
        return true;
    }
    virtual void detach(CHlmPlgAsyncElem& element) { (void)element; }

    // Elements for which `select` returns true, each with a delivery begun.
    template <class Select>
    std::vector<CHlmPlgAsyncElem*> selectForDelivery(Select select) {
        std::vector<CHlmPlgAsyncElem*> selected;
        std::lock_guard lock(listLock_);
        for (CHlmPlgAsyncElem* element : list_) {
            if (select(*element)) {
                lifetimes_.acquire(element);
                selected.push_back(element);
            }
        }
        return selected;
    }
    // Delivers each element to its owner and ends its delivery.
    void deliverAll(const std::vector<CHlmPlgAsyncElem*>& elements);

    PluginCallGate& gate() { return gate_; }

    std::mutex listLock_;
    std::list<CHlmPlgAsyncElem*> list_;
    platform::ManualEvent wake_;
    ElementLifetimes& lifetimes_;

  private:
    void startLocked();
    // Takes the thread out, told to stop; the caller joins it unlocked.
    std::unique_ptr<CThreadImpl> takeThreadLocked();

    PluginCallGate& gate_;
    std::mutex startLock_;
    bool started_ = false;
    std::unique_ptr<CThreadImpl> thread_;
};

}  // namespace holm::async
