#include "async/element_lifetimes.h"

namespace holm::async {

namespace {
thread_local bool tDispatcherThread = false;
}

bool onDispatcherThread() {
    return tDispatcherThread;
}

void markDispatcherThread() {
    tDispatcherThread = true;
}

bool AsyncOwner::deliver(HlmPlg::IAsyncEvent* event) {
    std::lock_guard lock(deliveryLock_);
    HlmPlg::IAsyncHandler* handler = handler_;
    if (handler == nullptr) {
        return false;  // no handler: the delivery is dropped
    }
    bool result = false;
    (void)gate_.call(u"IAsyncHandler::onAsyncEvent", handler,
                     [&] { result = handler->onAsyncEvent(event); });
    return result;
}

void AsyncOwner::setHandler(HlmPlg::IAsyncHandler* handler) {
    std::lock_guard lock(deliveryLock_);
    handler_ = handler;
}

ElementLifetimes::~ElementLifetimes() = default;

CHlmPlgAsyncElem* ElementLifetimes::adopt(std::unique_ptr<CHlmPlgAsyncElem> element) {
    common::MutexLock lock(mutex_);
    CHlmPlgAsyncElem* raw = element.get();
    raw->serial = nextSerial_++;
    live_.emplace(raw, std::move(element));
    return raw;
}

CHlmPlgAsyncElem* ElementLifetimes::claim(HlmPlg::IAsyncEvent* event, const void* canceller) {
    common::MutexLock lock(mutex_);
    auto found = live_.find(static_cast<const void*>(event));
    if (found == live_.end() || found->second->doomed ||
        found->second->owner->canceller() != canceller) {
        return nullptr;
    }
    ++found->second->inUse;
    return found->second.get();
}

bool ElementLifetimes::isLive(HlmPlg::IAsyncEvent* event) {
    common::MutexLock lock(mutex_);
    auto found = live_.find(static_cast<const void*>(event));
    return found != live_.end() && !found->second->doomed;
}

void ElementLifetimes::unclaim(CHlmPlgAsyncElem* element) {
    common::MutexLock lock(mutex_);
    if (--element->inUse == 0 && element->doomed) {
        destroyLocked(element);
    }
    changed_.notifyAll();
}

void ElementLifetimes::acquire(CHlmPlgAsyncElem* element) {
    common::MutexLock lock(mutex_);
    ++element->inUse;
    ++inFlight_;
    changed_.notifyAll();
}

void ElementLifetimes::release(CHlmPlgAsyncElem* element) {
    common::MutexLock lock(mutex_);
    --inFlight_;
    if (--element->inUse == 0 && element->doomed) {
        destroyLocked(element);
    }
    changed_.notifyAll();
}

void ElementLifetimes::retire(const std::vector<CHlmPlgAsyncElem*>& elements, bool wait) {
    common::MutexLock lock(mutex_);
    retireLocked(lock, elements, wait);
}

void ElementLifetimes::retireClaimed(CHlmPlgAsyncElem* element, bool wait) {
    common::MutexLock lock(mutex_);
    --element->inUse;
    retireLocked(lock, {element}, wait);
}

void ElementLifetimes::retireLocked(common::MutexLock& lock,
                                    const std::vector<CHlmPlgAsyncElem*>& elements, bool wait) {
    std::vector<std::pair<const void*, uint64_t>> pending;
    for (CHlmPlgAsyncElem* element : elements) {
        element->doomed = true;
        if (element->inUse == 0) {
            destroyLocked(element);
        } else {
            pending.emplace_back(element, element->serial);
        }
    }
    if (!wait) {
        return;
    }
    while (anyAlive(pending)) {
        changed_.wait(lock);
    }
}

bool ElementLifetimes::anyAlive(
    const std::vector<std::pair<const void*, uint64_t>>& pending) const {
    for (const auto& [address, serial] : pending) {
        auto found = live_.find(address);
        if (found != live_.end() && found->second->serial == serial) {
            return true;
        }
    }
    return false;
}

bool ElementLifetimes::waitForDeliveriesInFlight(int64_t count,
                                                 std::chrono::steady_clock::time_point deadline) {
    common::MutexLock lock(mutex_);
    while (inFlight_ < count) {
        if (!changed_.waitUntil(lock, deadline)) {
            return inFlight_ >= count;
        }
    }
    return true;
}

void ElementLifetimes::destroyLocked(CHlmPlgAsyncElem* element) {
    live_.erase(element);
}

}  // namespace holm::async
