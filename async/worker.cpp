#include "async/worker.h"

#include <algorithm>

namespace holm::async {

CAsyncImplObject::CAsyncImplObject(PluginCallGate& gate, ElementLifetimes& lifetimes)
    : lifetimes_(lifetimes), gate_(gate) {}

CAsyncImplObject::~CAsyncImplObject() {
    // The derived part is gone by now, so its run must have ended first:
    // derived destructors call stopThread(). This is a second line.
    stopThread();
    std::vector<CHlmPlgAsyncElem*> left(list_.begin(), list_.end());
    list_.clear();
    lifetimes_.retire(left, true);
}

bool CAsyncImplObject::add(CHlmPlgAsyncElem* element) {
    if (!attach(*element)) {
        return false;
    }
    // The start lock is held while appending, so a concurrent cancel cannot
    // find the list empty and stop the thread between the append and the
    // start; appending first lets a new thread see the element at once.
    std::lock_guard start(startLock_);
    {
        std::lock_guard lock(listLock_);
        list_.push_back(element);
    }
    if (!started_) {
        startLocked();
    }
    wake_.set();
    return true;
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
        std::lock_guard lock(listLock_);
        const size_t before = list_.size();
        list_.remove(element);
        found = list_.size() != before;
    }
    if (found) {
        detach(*element);
        wake_.set();
    }
    return found;
}

std::vector<CHlmPlgAsyncElem*> CAsyncImplObject::removeOwnedBy(const AsyncOwner* owner) {
    std::vector<CHlmPlgAsyncElem*> removed;
    {
        std::lock_guard lock(listLock_);
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
        wake_.set();
    }
    return removed;
}

void CAsyncImplObject::idleIfEmpty() {
    std::unique_ptr<CThreadImpl> ending;
    {
        std::lock_guard start(startLock_);
        std::lock_guard lock(listLock_);
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
        std::lock_guard start(startLock_);
        ending = takeThreadLocked();
    }
    if (ending) {
        (void)ending->stop();
    }
}

void CAsyncImplObject::resume() {
    std::lock_guard start(startLock_);
    if (thread_ != nullptr) {
        return;
    }
    started_ = false;
    bool waiting = false;
    {
        std::lock_guard lock(listLock_);
        waiting = !list_.empty();
    }
    if (waiting) {
        startLocked();
    }
}

bool CAsyncImplObject::threadRunning() {
    std::lock_guard start(startLock_);
    return thread_ != nullptr;
}

size_t CAsyncImplObject::elementCount() {
    std::lock_guard lock(listLock_);
    return list_.size();
}

void CAsyncImplObject::deliverAll(const std::vector<CHlmPlgAsyncElem*>& elements) {
    for (CHlmPlgAsyncElem* element : elements) {
        (void)element->owner->deliver(element);  // workers ignore the result
        lifetimes_.release(element);
    }
}

}  // namespace holm::async
