#include "async/worker.h"

#include <algorithm>

namespace holm::async {

CAsyncImplObject::CAsyncImplObject(PluginCallGate& gate, ElementLifetimes& lifetimes)
    : gate_(gate), lifetimes_(lifetimes) {}

CAsyncImplObject::~CAsyncImplObject() {
    // The derived part is gone by now, so its run must have ended first:
    // derived destructors call stopThread(). This is a second line.
    stopThread();
    std::vector<CHlmPlgAsyncElem*> left;
    {
        common::MutexLock lock(listLock_);
        left.assign(list_.begin(), list_.end());
        list_.clear();
    }
    lifetimes_.retire(left, true);
}

platform::Status CAsyncImplObject::add(CHlmPlgAsyncElem* element) {
    if (platform::Status attached = attach(*element); !attached) {
        return attached;
    }
    // The start lock is held while appending, so a concurrent cancel cannot
    // find the list empty and stop the thread between the append and the
    // start; appending first lets a new thread see the element at once.
    common::MutexLock start(startLock_);
    {
        common::MutexLock lock(listLock_);
        list_.push_back(element);
    }
    if (!started_) {
        startLocked();
    }
    wake();
    return {};
}

void CAsyncImplObject::startLocked() {
    auto thread = std::make_unique<CThreadImpl>(gate_);
    thread->registerHandler(this);
    if (thread->start(0)) {
        thread_ = std::move(thread);
        started_ = true;
    }
}

std::unique_ptr<CThreadImpl> CAsyncImplObject::takeThreadLocked() {
    std::unique_ptr<CThreadImpl> ending = std::move(thread_);
    if (ending) {
        ending->requestStop();
    }
    return ending;
}

bool CAsyncImplObject::remove(CHlmPlgAsyncElem* element) {
    bool found = false;
    {
        common::MutexLock lock(listLock_);
        const size_t before = list_.size();
        list_.remove(element);
        found = list_.size() != before;
    }
    if (found) {
        detach(*element);
        wake();
    }
    return found;
}

std::vector<CHlmPlgAsyncElem*> CAsyncImplObject::removeOwnedBy(const AsyncOwner* owner) {
    std::vector<CHlmPlgAsyncElem*> removed;
    {
        common::MutexLock lock(listLock_);
        for (auto it = list_.begin(); it != list_.end();) {
            if ((*it)->owner.get() == owner) {
                removed.push_back(*it);
                it = list_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (CHlmPlgAsyncElem* element : removed) {
        detach(*element);
    }
    if (!removed.empty()) {
        wake();
    }
    return removed;
}

void CAsyncImplObject::idleIfEmpty() {
    std::unique_ptr<CThreadImpl> ending;
    {
        common::MutexLock start(startLock_);
        common::MutexLock lock(listLock_);
        if (!started_ || !list_.empty()) {
            return;
        }
        ending = takeThreadLocked();
        started_ = false;
    }
    if (ending) {
        (void)ending->stop();  // joins; false only if it had no thread
    }
}

void CAsyncImplObject::stopThread() {
    std::unique_ptr<CThreadImpl> ending;
    {
        common::MutexLock start(startLock_);
        ending = takeThreadLocked();
    }
    if (ending) {
        (void)ending->stop();
    }
}

void CAsyncImplObject::resume() {
    common::MutexLock start(startLock_);
    if (thread_ != nullptr) {
        return;
    }
    started_ = false;
    bool waiting = false;
    {
        common::MutexLock lock(listLock_);
        waiting = !list_.empty();
    }
    if (waiting) {
        startLocked();
    }
}

bool CAsyncImplObject::threadRunning() {
    common::MutexLock start(startLock_);
    return thread_ != nullptr;
}

size_t CAsyncImplObject::elementCount() {
    common::MutexLock lock(listLock_);
    return list_.size();
}

void CAsyncImplObject::wake() {
    common::MutexLock lock(waitingLock_);
    if (waiting_ != nullptr) {
        waiting_->wake();
    }
}

uint32_t CAsyncImplObject::waitLoop(HlmPlg::IStopEvent& stop, WaitLoopRun& run) {
    markDispatcherThread();
    platform::WaitSet waits(kWakeKey);
    if (!waits.valid() || !waits.add(stop.getDescriptor(), kStopKey).ok()) {
        return 1;
    }
    {
        // From here on every change wakes this run; it looks at everything
        // after this, so a change made before is seen as well. A run told to
        // end before it got here never takes the place of its successor,
        // which starts only after the stop is set.
        common::MutexLock lock(waitingLock_);
        if (stop.isSet()) {
            return 0;
        }
        waiting_ = &waits;
    }
    const uint32_t result = passes(stop, run, waits);
    common::MutexLock lock(waitingLock_);
    if (waiting_ == &waits) {
        waiting_ = nullptr;  // a successor may have put its own set here
    }
    return result;
}

uint32_t CAsyncImplObject::passes(HlmPlg::IStopEvent& stop, WaitLoopRun& run,
                                  platform::WaitSet& waits) {
    if (!run.begin(waits)) {
        return 1;
    }
    bool woken = true;  // a run looks at everything when it starts
    for (;;) {
        const std::optional<WaitLoopRun::Deadline> deadline = run.beforeWait(waits, woken, stop);
        if (!deadline) {
            return 0;
        }
        const auto ready = waits.wait(*deadline);
        if (!ready) {
            return 1;
        }
        if (platform::containsKey(*ready, kStopKey)) {
            return 0;  // before anything is taken in: it is left to the next run
        }
        woken = platform::containsKey(*ready, kWakeKey);
        if (!run.handle(*ready, woken)) {
            return 1;
        }
    }
}

void CAsyncImplObject::deliverAll(const std::vector<CHlmPlgAsyncElem*>& elements) {
    for (CHlmPlgAsyncElem* element : elements) {
        (void)element->owner->deliver(element);  // workers ignore the result
        lifetimes_.release(element);
    }
}

}  // namespace holm::async
