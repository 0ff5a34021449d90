#include "async/dispatcher.h"

#include "async/event_worker.h"
#include "async/time_worker.h"
#include "platform/named_event.h"
#include "utilities/auth_user.h"

namespace holm::async {

namespace {

// The session-change record handed with control 14: size, session id.
struct SessionNotification {
    uint32_t size;
    uint32_t sessionId;
};

}  // namespace

CAsyncImplObjects::CAsyncImplObjects(PluginCallGate& gate, std::unique_ptr<AsyncClock> clock,
                                     std::string runtimeDirectory)
    : clock_(clock ? std::move(clock) : std::make_unique<SteadyAsyncClock>()) {
    workers_[static_cast<size_t>(WorkerIndex::Time)] =
        std::make_unique<CAsyncImplObjectTime>(gate, lifetimes_, *clock_);
    workers_[static_cast<size_t>(WorkerIndex::Event)] =
        std::make_unique<CAsyncImplObjectEvent>(gate, lifetimes_, std::move(runtimeDirectory));
}

CAsyncImplObjects::~CAsyncImplObjects() {
    for (auto& worker : workers_) {
        worker.reset();
    }
}

HlmPlg::IAsyncEvent* CAsyncImplObjects::addNow(const std::shared_ptr<AsyncOwner>& owner,
                                               uintptr_t user) {
    return registerOn(WorkerIndex::Time,
                      std::make_unique<CHlmPlgAsyncElem>(ElementKind::Now, owner, user));
}

HlmPlg::IAsyncEvent* CAsyncImplObjects::addAfterNSec(const std::shared_ptr<AsyncOwner>& owner,
                                                     int32_t seconds, uintptr_t user) {
    if (seconds < 0) {
        return nullptr;  // would fire at every tick: refused
    }
    auto element = std::make_unique<CHlmPlgAsyncElemAfterNSec>(owner, seconds, user);
    element->time = clock_->nowSeconds();
    return registerOn(WorkerIndex::Time, std::move(element));
}

HlmPlg::IAsyncEvent* CAsyncImplObjects::addEvent(const std::shared_ptr<AsyncOwner>& owner,
                                                 const char16_t* name, uintptr_t user) {
    if (name == nullptr) {
        return nullptr;
    }
    std::u16string_view text(name);
    if (text.size() > platform::kMaxNamedEventName) {
        return nullptr;
    }
    std::string fileName = platform::namedEventFileName(text);
    if (fileName.empty()) {
        return nullptr;
    }
    return registerOn(WorkerIndex::Event,
                      std::make_unique<CHlmPlgAsyncElemEvent>(owner, std::u16string(text),
                                                              std::move(fileName), user));
}

HlmPlg::IAsyncEvent* CAsyncImplObjects::registerOn(WorkerIndex index,
                                                   std::unique_ptr<CHlmPlgAsyncElem> element) {
    CAsyncImplObject* worker = workers_[static_cast<size_t>(index)].get();
    if (worker == nullptr) {
        return nullptr;
    }
    CHlmPlgAsyncElem* added = lifetimes_.adopt(std::move(element));
    if (!worker->add(added)) {
        lifetimes_.retire({added}, false);  // never delivered: destroyed at once
        return nullptr;
    }
    return added;
}

CAsyncImplObject* CAsyncImplObjects::workerFor(ElementKind kind) {
    switch (kind) {
        case ElementKind::Now:
        case ElementKind::AfterNSec:
            return workers_[static_cast<size_t>(WorkerIndex::Time)].get();
        case ElementKind::Event:
            return workers_[static_cast<size_t>(WorkerIndex::Event)].get();
        case ElementKind::Directory:
        case ElementKind::File:
            return workers_[static_cast<size_t>(WorkerIndex::Directory)].get();
        case ElementKind::DirectoryNative:
        case ElementKind::FileNative:
            return workers_[static_cast<size_t>(WorkerIndex::DirectoryNative)].get();
        case ElementKind::RegistryKey:
        case ElementKind::RegistryValue:
            return workers_[static_cast<size_t>(WorkerIndex::Registry)].get();
    }
    return nullptr;
}

void CAsyncImplObjects::cancel(HlmPlg::IAsyncEvent* event) {
    CHlmPlgAsyncElem* element = lifetimes_.find(event);
    CAsyncImplObject* worker = element != nullptr ? workerFor(element->kind) : nullptr;
    if (worker == nullptr || !worker->remove(element)) {
        return;  // not live, or retired meanwhile by another cancel
    }
    const bool onWorker = onDispatcherThread();
    lifetimes_.retire({element}, !onWorker);
    if (!onWorker) {
        worker->idleIfEmpty();
    }
}

void CAsyncImplObjects::cancelAll(const AsyncOwner* owner) {
    const bool onWorker = onDispatcherThread();
    for (auto& worker : workers_) {
        if (worker) {
            lifetimes_.retire(worker->removeOwnedBy(owner), !onWorker);
        }
    }
}

void CAsyncImplObjects::stopAll() {
    for (auto& worker : workers_) {
        if (worker) {
            worker->stopThread();
        }
    }
}

void CAsyncImplObjects::onServiceControl(uint32_t control, uint32_t eventType, void* eventData) {
    if (control != kSessionChange || eventData == nullptr) {
        return;
    }
    const auto* record = static_cast<const SessionNotification*>(eventData);
    if (eventType == kSessionLogon) {
        const std::u16string sid =
            Tandro::Utilities::AuthUser::getSIDFromSession(record->sessionId);
        if (sid.empty()) {
            return;
        }
        for (auto& worker : workers_) {
            if (worker) {
                worker->onSessionLogon(sid);
            }
        }
    } else if (eventType == kSessionLogoff) {
        for (auto& worker : workers_) {
            if (worker) {
                worker->onSessionLogoff();
            }
        }
    }
}

bool CAsyncImplObjects::workerThreadRunning(WorkerIndex index) {
    CAsyncImplObject* worker = workers_[static_cast<size_t>(index)].get();
    return worker != nullptr && worker->threadRunning();
}

size_t CAsyncImplObjects::elementCount(WorkerIndex index) {
    CAsyncImplObject* worker = workers_[static_cast<size_t>(index)].get();
    return worker != nullptr ? worker->elementCount() : 0;
}

}  // namespace holm::async
