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
// The watching workers share one loop (waitLoop) over a platform wait set:
// the loop owns the set, its stop and wake sources and the order of each
// pass; a worker adds only its own sources and handles their keys (a
// WaitLoopRun, one per run of its thread, since an ending thread and its
// successor may overlap).
//
// Locks: the start lock before the list lock; the lock of the waiting run's
// set is taken last and held for nothing but a wake or a registration. No
// lock is held while a handler runs or while the worker waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "async/element.h"
#include "async/element_lifetimes.h"
#include "async/plugin_gate.h"
#include "async/thread_impl.h"
#include "common/mutex.h"
#include "hlmplg/handlers.h"
#include "platform/result.h"
#include "platform/wait_set.h"

namespace holm::async {

// The keys every worker's wait set gives its stop event and its wake-up
// source; a worker's own sources take the keys after them.
inline constexpr uint64_t kStopKey = 0;
inline constexpr uint64_t kWakeKey = 1;

// A worker's part of one run of the wait loop, with the state that lives as
// long as that run. The loop calls it on the worker's thread only.
class WaitLoopRun {
  public:
    using Deadline = platform::WaitSet::Deadline;
    using Keys = std::span<const platform::WaitSet::Key>;

    virtual ~WaitLoopRun() = default;
    // Adds the worker's sources as the run begins (the stop and wake
    // sources are members already). False: the run cannot wait and ends.
    virtual bool begin(platform::WaitSet& waits) {
        (void)waits;
        return true;
    }
    // Before each wait. `woken`: the wake source was set since the last
    // pass (every run's first pass counts as woken). Adds the sources that
    // appeared meanwhile and returns the deadline of the wait, or nothing to
    // end the run: a worker that takes in new sources under its own lock
    // looks at `stop` there, so an ending run never takes what its
    // successor must see.
    virtual std::optional<Deadline> beforeWait(platform::WaitSet& waits, bool woken,
                                               HlmPlg::IStopEvent& stop) = 0;
    // The keys of one wait, without the stop key; `woken` when the wake key
    // is among them (the wake is consumed: a change made after this wakes
    // the loop again). False ends the run as failed.
    virtual bool handle(Keys ready, bool woken) = 0;
};

class CAsyncImplObject : public HlmPlg::IThreadHandler {
  public:
    CAsyncImplObject(PluginCallGate& gate, ElementLifetimes& lifetimes);
    ~CAsyncImplObject() override;
    CAsyncImplObject(const CAsyncImplObject&) = delete;
    CAsyncImplObject& operator=(const CAsyncImplObject&) = delete;

    // Appends the element, starting the thread first if the worker is idle.
    // False when the worker cannot watch it (nothing is added).
    platform::Status add(CHlmPlgAsyncElem* element) EXCLUDES(startLock_, listLock_);
    // Removes the element from the list (no effect if it is not there);
    // true when it was there.
    bool remove(CHlmPlgAsyncElem* element) EXCLUDES(listLock_);
    // Removes and returns every element of `owner`.
    std::vector<CHlmPlgAsyncElem*> removeOwnedBy(const AsyncOwner* owner) EXCLUDES(listLock_);
    // Stops the thread if the list is empty (called after a cancel made on
    // a plugin thread); the worker is then idle again.
    void idleIfEmpty() EXCLUDES(startLock_, listLock_);
    // Stops the thread for good; the worker stays marked started.
    void stopThread() EXCLUDES(startLock_);
    // A new run of the core: a worker stopped for good is idle again, and
    // starts its thread at once when elements wait in its list.
    void resume() EXCLUDES(startLock_, listLock_);

    // Session changes (through the service-control hook). Nothing here;
    // workers that watch per-user state override them.
    virtual void onSessionLogoff() {}
    virtual void onSessionLogon(const std::u16string& sid) { (void)sid; }

    bool threadRunning() EXCLUDES(startLock_);
    size_t elementCount() EXCLUDES(listLock_);

  protected:
    // Called with an element before it joins the list (an error refuses
    // it), and after it left the list by a cancel: for workers that hold a
    // watch per element or per distinct watched object.
    virtual platform::Status attach(CHlmPlgAsyncElem& element) {
        (void)element;
        return {};
    }
    virtual void detach(CHlmPlgAsyncElem& element) { (void)element; }

    // The loop of a watching worker's thread over a wait set of the stop
    // event, its wake source (woken by every registration and cancel) and the
    // worker's own sources. A pass: `run.beforeWait`, the wait, then, unless
    // the stop key is among the ready keys (looked for before anything of
    // the batch is taken in: it is left to the next run), `run.handle` gets
    // the batch. A run looks at everything as it starts. 0 when the run
    // was stopped, 1 when it could not wait (its elements stay registered).
    uint32_t waitLoop(HlmPlg::IStopEvent& stop, WaitLoopRun& run) EXCLUDES(listLock_);

    // Elements for which `select` returns true, each with a delivery begun.
    template <class Select>
    std::vector<CHlmPlgAsyncElem*> selectForDelivery(Select select) EXCLUDES(listLock_) {
        return pickForDelivery([&](const CHlmPlgAsyncElem& element) {
            return select(element) ? Pick::Deliver : Pick::Skip;
        });
    }
    // What pickForDelivery does with an element.
    enum class Pick { Skip, Deliver, DeliverAndTake };
    // Elements `pick` chooses, each with a delivery begun; those it takes
    // leave the list in the same step.
    template <class Picker>
    std::vector<CHlmPlgAsyncElem*> pickForDelivery(Picker pick) EXCLUDES(listLock_) {
        std::vector<CHlmPlgAsyncElem*> picked;
        common::MutexLock lock(listLock_);
        for (auto it = list_.begin(); it != list_.end();) {
            const Pick choice = pick(**it);
            if (choice != Pick::Skip) {
                lifetimes_.acquire(*it);
                picked.push_back(*it);
            }
            it = choice == Pick::DeliverAndTake ? list_.erase(it) : std::next(it);
        }
        return picked;
    }
    // Delivers each element to its owner and ends its delivery.
    void deliverAll(const std::vector<CHlmPlgAsyncElem*>& elements) EXCLUDES(listLock_);

    PluginCallGate& gate() { return gate_; }
    ElementLifetimes& lifetimes() { return lifetimes_; }

  private:
    uint32_t passes(HlmPlg::IStopEvent& stop, WaitLoopRun& run, platform::WaitSet& waits);
    void startLocked() REQUIRES(startLock_);
    // Takes the thread out, told to stop; the caller joins it unlocked.
    std::unique_ptr<CThreadImpl> takeThreadLocked() REQUIRES(startLock_);

    PluginCallGate& gate_;
    ElementLifetimes& lifetimes_;
    common::Mutex startLock_ ACQUIRED_BEFORE(listLock_);
    bool started_ GUARDED_BY(startLock_) = false;
    std::unique_ptr<CThreadImpl> thread_ GUARDED_BY(startLock_);
    common::Mutex listLock_;
    std::list<CHlmPlgAsyncElem*> list_ GUARDED_BY(listLock_);
    // Wakes the newest run's loop (wake()).
    void wake() EXCLUDES(waitingLock_);

    common::Mutex waitingLock_;
    // The wait set of the newest run, while it waits. Every run has its own
    // (with its own wake source), so an ending run never consumes a wake its
    // successor must see.
    platform::WaitSet* waiting_ GUARDED_BY(waitingLock_) = nullptr;
};

}  // namespace holm::async
