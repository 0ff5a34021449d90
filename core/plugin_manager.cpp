#include "core/plugin_manager.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/format.h"
#include "common/limits.h"
#include "common/log_text.h"
#include "core/plugin_boundary.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/service.h"

namespace holm::core {

using HlmPlg::CHlmPlg;
using HlmPlg::IHandler;
using HlmPlg::IHandlerInterface;
using HlmPlg::IInterface;

namespace {}  // namespace

// Owned handlers of owners that never went away (a host that left plugins
// behind) are destroyed with the facade.
CPluginManager::~CPluginManager() {
    std::vector<IHandler*> owned;
    {
        common::MutexLock guard(declarationLock_);
        for (const auto& declaration : declarations_) {
            if (declaration.handler != nullptr && declaration.handlerOwned) {
                owned.push_back(declaration.handler);
            }
        }
        declarations_.clear();
    }
    for (IHandler* handler : owned) {
        destroyHandler(handler);
    }
}

void CPluginManager::setReporting(BoundaryReporting reporting, CHlmPlg* ownProvider) {
    reporting_ = reporting;
    ownProvider_ = ownProvider;
}

BoundaryReporting CPluginManager::reporting(bool passExceptions) const {
    BoundaryReporting result = reporting_;
    result.passExceptions = passExceptions;
    return result;
}

bool CPluginManager::registerProvider(int32_t id, CHlmPlg* provider) {
    common::RecursiveLock providerGuard(providerLock_);
    providers_[id] = provider;
    return true;
}

bool CPluginManager::unregisterProvider(int32_t id, CHlmPlg* /*provider*/) {
    common::RecursiveLock providerGuard(providerLock_);
    common::MutexLock liveGuard(liveLock_);
    providers_.erase(id);
    return true;
}

IInterface* CPluginManager::createInterface(CHlmPlg* owner, int32_t id) {
    CHlmPlg* provider = providerOf(id);
    if (provider == nullptr) {
        return nullptr;
    }
    IInterface* object = callCreate(provider, id, true);
    if (object == nullptr) {
        return nullptr;
    }
    object->m_id = id;
    object->m_provider = provider;
    object->m_owner = owner;
    common::MutexLock liveGuard(liveLock_);
    live_.push_back(object);
    return object;
}

// The core's own provider runs no plugin code and is called under the
// provider lock as before; a plugin's provider is called through the
// boundary without the lock, counted so that its library is not freed while
// the call runs.
IInterface* CPluginManager::callCreate(CHlmPlg* provider, int32_t id, bool passExceptions) {
    if (provider == ownProvider_) {
        common::RecursiveLock providerGuard(providerLock_);
        return provider->createInterface(id);
    }
    {
        common::RecursiveLock providerGuard(providerLock_);
        ++providerCalls_[provider];
    }
    struct CallEnd {
        CPluginManager& manager;
        const CHlmPlg* provider;
        ~CallEnd() {
            common::RecursiveLock providerGuard(manager.providerLock_);
            if (--manager.providerCalls_[provider] == 0) {
                manager.providerCalls_.erase(provider);
            }
        }
    } end{*this, provider};
    return callPlugin(reporting(passExceptions), u"CHlmPlg::createInterface", calleeOf(provider),
                      [&] { return provider->createInterface(id); })
        .value_or(nullptr);
}

void CPluginManager::callRelease(CHlmPlg* provider, IInterface* object, bool passExceptions) {
    if (provider == ownProvider_) {
        provider->releaseInterface(object);
        return;
    }
    (void)callPlugin(reporting(passExceptions), u"CHlmPlg::releaseInterface", calleeOf(provider),
                     [&] { provider->releaseInterface(object); });
}

// Only objects on the live list are handed back: a second release of the
// same object, or a pointer the facade never handed out, must not reach a
// provider (that would destroy an object twice, or one it never made).
void CPluginManager::releaseInterface(CHlmPlg* /*owner*/, int32_t /*id*/, IInterface* object) {
    if (object != nullptr) {
        releaseObject(object, true);
    }
}

void CPluginManager::releaseObject(IInterface* object, bool passExceptions) {
    CHlmPlg* provider = nullptr;
    {
        common::MutexLock liveGuard(liveLock_);
        if (std::find(live_.begin(), live_.end(), object) != live_.end()) {
            provider = object->m_provider;  // read only once the object is known to be live
            std::erase(live_, object);
        }
    }
    if (provider == nullptr) {
        log(common::format(u"PM: releaseInterface of an unknown object %p ignored",
                           static_cast<const void*>(object)));
        return;
    }
    callRelease(provider, object, passExceptions);
}

int32_t CPluginManager::declareInterface(CHlmPlg* owner, int32_t id, IInterface** variable,
                                         bool required) {
    common::MutexLock guard(declarationLock_);
    common::checkRoomForOneMore(declarations_.size());
    *variable = nullptr;
    declarations_.push_back({nextKey_++, owner, id, variable, nullptr, false, required});
    return static_cast<int32_t>(declarations_.size());
}

void CPluginManager::setInterfaceHandler(CHlmPlg* owner, IInterface** variable, IHandler* handler,
                                         bool owned) {
    common::MutexLock guard(declarationLock_);
    for (auto& declaration : declarations_) {
        if (declaration.owner == owner && declaration.variable == variable) {
            declaration.handler = handler;
            declaration.handlerOwned = owned;
            return;
        }
    }
}

std::vector<uint64_t> CPluginManager::keysOf(const CHlmPlg* owner) const {
    common::MutexLock guard(declarationLock_);
    std::vector<uint64_t> keys;
    for (const auto& declaration : declarations_) {
        if (declaration.owner == owner) {
            keys.push_back(declaration.key);
        }
    }
    return keys;
}

bool CPluginManager::recordOf(uint64_t key, Declaration& out) const {
    common::MutexLock guard(declarationLock_);
    for (const auto& declaration : declarations_) {
        if (declaration.key == key) {
            out = declaration;
            return true;
        }
    }
    return false;
}

// The walk works on copies of the records, found again by key after every
// call that may reach plugin code (a provider, a handler registration).
bool CPluginManager::acquireInterfaces(CHlmPlg* owner) {
    for (uint64_t key : keysOf(owner)) {
        Declaration record{};
        if (!recordOf(key, record)) {
            continue;
        }
        IInterface* object = createInterface(owner, record.id);
        if (object != nullptr) {
            if (record.handler != nullptr) {
                attachHandler(object, record.handler, true, true);
            }
            *record.variable = object;
            continue;
        }
        destroyOwnedHandler(key);
        if (record.required) {
            reportMissingRequired(owner, record.id);
            return false;
        }
    }
    return true;
}

bool CPluginManager::releaseInterfaces(CHlmPlg* owner) {
    for (uint64_t key : keysOf(owner)) {
        releaseRecord(key, true);
    }
    return true;
}

void CPluginManager::releaseRecord(uint64_t key, bool passExceptions) {
    Declaration record{};
    if (!recordOf(key, record) || *record.variable == nullptr) {
        return;
    }
    IInterface* object = *record.variable;
    *record.variable = nullptr;
    if (record.handler != nullptr) {
        attachHandler(object, record.handler, false, passExceptions);
        destroyOwnedHandler(key);
    }
    releaseObject(object, passExceptions);
}

// Registration on the core's IService runs core code only, but an object a
// plugin provides runs the plugin's: both go through the boundary.
void CPluginManager::attachHandler(IInterface* object, IHandler* handler, bool attach,
                                   bool passExceptions) {
    auto* target = dynamic_cast<IHandlerInterface*>(object);
    if (target == nullptr) {
        return;
    }
    const char16_t* place =
        attach ? u"IHandlerInterface::registerHandler" : u"IHandlerInterface::unregisterHandler";
    (void)callPlugin(reporting(passExceptions), place, calleeOf(target), [&] {
        return attach ? target->registerHandler(handler) : target->unregisterHandler(handler);
    });
}

void CPluginManager::destroyOwnedHandler(uint64_t key) {
    IHandler* owned = nullptr;
    {
        common::MutexLock guard(declarationLock_);
        for (auto& declaration : declarations_) {
            if (declaration.key == key && declaration.handler != nullptr &&
                declaration.handlerOwned) {
                owned = declaration.handler;
                declaration.handler = nullptr;
                declaration.handlerOwned = false;
            }
        }
    }
    if (owned != nullptr) {
        destroyHandler(owned);
    }
}

void CPluginManager::destroyHandler(IHandler* handler) {
    (void)callPlugin(reporting(false), u"IHandler::~IHandler", calleeOf(handler),
                     [&] { delete handler; });
}

void CPluginManager::releaseAcquired(CHlmPlg* owner) {
    for (uint64_t key : keysOf(owner)) {
        releaseRecord(key, false);
    }
}

void CPluginManager::forgetDeclarations(CHlmPlg* owner) {
    const std::vector<uint64_t> keys = keysOf(owner);
    for (uint64_t key : keys) {
        releaseRecord(key, false);
    }
    for (uint64_t key : keys) {
        destroyOwnedHandler(key);
    }
    common::MutexLock guard(declarationLock_);
    std::erase_if(declarations_,
                  [owner](const Declaration& declaration) { return declaration.owner == owner; });
}

HlmPlg::CHlmPlg* CPluginManager::providerOf(int32_t id) const {
    common::RecursiveLock providerGuard(providerLock_);
    auto found = providers_.find(id);
    return found == providers_.end() ? nullptr : found->second;
}

size_t CPluginManager::liveInterfaceCount() const {
    common::MutexLock liveGuard(liveLock_);
    return live_.size();
}

bool CPluginManager::isRegisteredProvider(const CHlmPlg* provider) const {
    common::RecursiveLock providerGuard(providerLock_);
    return providerCalls_.contains(provider) ||
           std::any_of(providers_.begin(), providers_.end(),
                       [provider](const auto& entry) { return entry.second == provider; });
}

bool CPluginManager::hasLiveInterfacesFrom(const CHlmPlg* provider) const {
    common::MutexLock liveGuard(liveLock_);
    return std::any_of(live_.begin(), live_.end(), [provider](const IInterface* object) {
        return object->m_provider == provider;
    });
}

// A required interface that cannot be created is reported through the
// owner's own service object, to every service handler.
void CPluginManager::reportMissingRequired(CHlmPlg* owner, int32_t id) {
    IInterface* object = createInterface(owner, HlmPlg::IID_SERVICE);
    auto* service = dynamic_cast<HlmPlg::IService*>(object);
    if (service != nullptr) {
        service->broadcastMessage(common::format(u"QueryInterface(%d)", id).c_str(), 1);
    }
    if (object != nullptr) {
        releaseInterface(owner, HlmPlg::IID_SERVICE, object);
    }
}

void CPluginManager::log(const std::u16string& text) const {
    if (reporting_.host != nullptr) {
        reporting_.host->log(kLevelAlways, u"Core", common::logLineText(text).c_str());
    }
}

}  // namespace holm::core
