#include "async/dispatcher.h"

#include "async/event_worker.h"
#include "async/time_worker.h"
#include "common/path_parts.h"
#include "common/utf16.h"
#include "hlmplg/core.h"
#include "platform/file_system.h"
#include "platform/named_event.h"
#include "utilities/auth_user.h"

namespace holm::async {

namespace {

// A path from a plugin in UTF-8, with '/' as its separator (on Windows '\'
// becomes '/'), runs of it collapsed and none trailing (but a root's own:
// "/", "C:/"); empty when it is not sound text.
std::string normalisedPath(const char16_t* path) {
    if (path == nullptr) {
        return {};
    }
    const auto text = common::utf16ToUtf8Strict(path);
    if (!text) {
        return {};
    }
    std::string normalised;
    for (char c : *text) {
        if (!common::isPathSeparator(c)) {
            normalised.push_back(c);
        } else if (!normalised.ends_with('/')) {
            normalised.push_back('/');
        }
    }
    while (normalised.ends_with('/') && !common::isRootWithSeparator(normalised)) {
        normalised.pop_back();
    }
    return normalised;
}

std::u16string subkeyWithoutTrailingBackslashes(std::u16string_view subkey) {
    while (subkey.ends_with(u'\\')) {
        subkey.remove_suffix(1);
    }
    return std::u16string(subkey);
}

}  // namespace

CAsyncImplObjects::CAsyncImplObjects(PluginCallGate& gate, std::unique_ptr<AsyncClock> clock,
                                     std::string runtimeDirectory,
                                     std::filesystem::path registryDirectory)
    : clock_(clock ? std::move(clock) : std::make_unique<SteadyAsyncClock>()) {
    workers_[static_cast<size_t>(WorkerIndex::Time)] =
        std::make_unique<CAsyncImplObjectTime>(gate, lifetimes_, *clock_);
    workers_[static_cast<size_t>(WorkerIndex::Event)] =
        std::make_unique<CAsyncImplObjectEvent>(gate, lifetimes_, std::move(runtimeDirectory));
    auto directory = std::make_unique<CAsyncImplObjectDirectory>(gate, lifetimes_);
    directory_ = directory.get();
    workers_[static_cast<size_t>(WorkerIndex::Directory)] = std::move(directory);
    auto registry =
        std::make_unique<CAsyncImplObjectRegistry>(gate, lifetimes_, std::move(registryDirectory));
    registry_ = registry.get();
    workers_[static_cast<size_t>(WorkerIndex::Registry)] = std::move(registry);
}

CAsyncImplObjects::~CAsyncImplObjects() {
    for (auto& worker : workers_) {
        worker.reset();
    }
}

Registration CAsyncImplObjects::addNow(const std::shared_ptr<AsyncOwner>& owner, uintptr_t user) {
    return registerOn(WorkerIndex::Time,
                      std::make_unique<CHlmPlgAsyncElem>(ElementKind::Now, owner, user));
}

Registration CAsyncImplObjects::addAfterNSec(const std::shared_ptr<AsyncOwner>& owner,
                                             int32_t seconds, uintptr_t user) {
    if (seconds < 0) {
        return RegistrationRefusal{};  // would fire at every tick: refused
    }
    auto element = std::make_unique<CHlmPlgAsyncElemAfterNSec>(owner, seconds, user);
    element->time = clock_->nowSeconds();
    return registerOn(WorkerIndex::Time, std::move(element));
}

Registration CAsyncImplObjects::addEvent(const std::shared_ptr<AsyncOwner>& owner,
                                         const char16_t* name, uintptr_t user) {
    if (name == nullptr) {
        return RegistrationRefusal{};
    }
    std::u16string_view text(name);
    if (text.size() > platform::kMaxNamedEventName) {
        return RegistrationRefusal{};
    }
    std::string fileName = platform::namedEventFileName(text);
    if (fileName.empty()) {
        return RegistrationRefusal{};
    }
    return registerOn(WorkerIndex::Event,
                      std::make_unique<CHlmPlgAsyncElemEvent>(owner, std::u16string(text),
                                                              std::move(fileName), user));
}

Registration CAsyncImplObjects::addDirectory(const std::shared_ptr<AsyncOwner>& owner,
                                             const char16_t* path, bool subtree, uintptr_t user) {
    std::string normalised = normalisedPath(path);
    if (normalised.empty() || !platform::isDirectory(normalised)) {
        return RegistrationRefusal{};
    }
    return registerOn(WorkerIndex::Directory,
                      std::make_unique<CHlmPlgAsyncElemDirectoryOrFile>(
                          ElementKind::Directory, owner, std::move(normalised), subtree, user));
}

Registration CAsyncImplObjects::addFile(const std::shared_ptr<AsyncOwner>& owner,
                                        const char16_t* path, uintptr_t user) {
    std::string normalised = normalisedPath(path);
    if (normalised.empty() || !platform::pathExists(normalised)) {
        return RegistrationRefusal{};
    }
    return registerOn(WorkerIndex::Directory,
                      std::make_unique<CHlmPlgAsyncElemDirectoryOrFile>(
                          ElementKind::File, owner, std::move(normalised), false, user));
}

Registration CAsyncImplObjects::addRegistryKey(const std::shared_ptr<AsyncOwner>& owner,
                                               uint32_t root, const char16_t* subkey, bool subtree,
                                               uintptr_t user) {
    if (subkey == nullptr) {
        return RegistrationRefusal{};
    }
    std::u16string trimmed = subkeyWithoutTrailingBackslashes(subkey);
    if (!registry_->keyOpens(root, trimmed)) {
        return RegistrationRefusal{};
    }
    return registerOn(WorkerIndex::Registry, std::make_unique<CHlmPlgAsyncElemRegistry>(
                                                 ElementKind::RegistryKey, owner, root,
                                                 std::move(trimmed), u"", subtree, user));
}

Registration CAsyncImplObjects::addRegistryValue(const std::shared_ptr<AsyncOwner>& owner,
                                                 uint32_t root, const char16_t* subkey,
                                                 const char16_t* valueName, uintptr_t user) {
    if (subkey == nullptr) {
        return RegistrationRefusal{};
    }
    std::u16string trimmed = subkeyWithoutTrailingBackslashes(subkey);
    if (!registry_->keyOpens(root, trimmed)) {
        return RegistrationRefusal{};
    }
    auto element = std::make_unique<CHlmPlgAsyncElemRegistry>(
        ElementKind::RegistryValue, owner, root, std::move(trimmed),
        valueName != nullptr ? valueName : u"", false, user);
    registry_->readStored(*element);
    return registerOn(WorkerIndex::Registry, std::move(element));
}

Registration CAsyncImplObjects::registerOn(WorkerIndex index,
                                           std::unique_ptr<CHlmPlgAsyncElem> element) {
    CAsyncImplObject* worker = workers_[static_cast<size_t>(index)].get();
    if (worker == nullptr) {
        return RegistrationRefusal{};
    }
    CHlmPlgAsyncElem* added = lifetimes_.adopt(std::move(element));
    if (const platform::Status attached = worker->add(added); !attached) {
        lifetimes_.retire({added}, false);  // never delivered: destroyed at once
        return RegistrationRefusal{attached.error()};
    }
    return static_cast<HlmPlg::IAsyncEvent*>(added);
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

void CAsyncImplObjects::cancel(HlmPlg::IAsyncEvent* event, const void* canceller) {
    // Held while it is taken out of its worker: neither destroyed nor its
    // address reused by another registration meanwhile.
    CHlmPlgAsyncElem* element = lifetimes_.claim(event, canceller);
    if (element == nullptr) {
        return;  // not a live element of the caller's
    }
    CAsyncImplObject* worker = workerFor(element->kind);
    if (worker == nullptr || !worker->remove(element)) {
        lifetimes_.unclaim(element);  // already out (a fireNow being delivered, another cancel)
        return;
    }
    const bool onWorker = onDispatcherThread();
    lifetimes_.retireClaimed(element, !onWorker);
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

void CAsyncImplObjects::resumeAll() {
    for (auto& worker : workers_) {
        if (worker) {
            worker->resume();
        }
    }
}

void CAsyncImplObjects::onServiceControl(uint32_t control, uint32_t eventType, void* eventData) {
    if (control != kSessionChange || eventData == nullptr) {
        return;
    }
    const auto* record = static_cast<const HlmPlg::SessionNotification*>(eventData);
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
