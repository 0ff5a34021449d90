#include "core/plugin_manager.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/format.h"
#include "common/limits.h"
#include "core/plugin_lifecycle.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/service.h"

namespace holm::core {

using HlmPlg::CHlmPlg;
using HlmPlg::IHandler;
using HlmPlg::IHandlerInterface;
using HlmPlg::IInterface;

CPluginManager::CPluginManager() : lifecycle_(std::make_unique<CPluginLifecycle>(*this)) {}

CPluginManager::~CPluginManager() {
    lifecycle_.reset();
    for (auto& declaration : declarations_) {
        dropHandler(declaration);
    }
}

bool CPluginManager::registerProvider(int32_t id, CHlmPlg* provider) {
    std::lock_guard providerGuard(providerLock_);
    providers_[id] = provider;
    return true;
}

bool CPluginManager::unregisterProvider(int32_t id, CHlmPlg* /*provider*/) {
    std::lock_guard providerGuard(providerLock_);
    std::lock_guard liveGuard(liveLock_);
    providers_.erase(id);
    return true;
}

IInterface* CPluginManager::createInterface(CHlmPlg* owner, int32_t id) {
    std::lock_guard providerGuard(providerLock_);
    auto found = providers_.find(id);
    if (found == providers_.end() || found->second == nullptr) {
        return nullptr;
    }
    IInterface* object = found->second->createInterface(id);
    if (object == nullptr) {
        return nullptr;
    }
    object->m_id = id;
    object->m_provider = found->second;
    object->m_owner = owner;
    std::lock_guard liveGuard(liveLock_);
    live_.push_back(object);
    return object;
}

// An object goes back to the provider that made it, even when the id has
// been given to another provider since; only an object that never went
// through createInterface falls back to the id's current provider.
void CPluginManager::releaseInterface(CHlmPlg* /*owner*/, int32_t id, IInterface* object) {
    std::lock_guard providerGuard(providerLock_);
    CHlmPlg* provider = object ? object->m_provider : nullptr;
    if (provider == nullptr) {
        auto found = providers_.find(id);
        if (found == providers_.end() || found->second == nullptr) {
            return;
        }
        provider = found->second;
    }
    {
        std::lock_guard liveGuard(liveLock_);
        std::erase(live_, object);
    }
    provider->releaseInterface(object);
}

int32_t CPluginManager::declareInterface(CHlmPlg* owner, int32_t id, IInterface** variable,
                                         bool required) {
    checkRoomForOneMore(declarations_.size());
    *variable = nullptr;
    declarations_.push_back({owner, id, variable, nullptr, false, required});
    return static_cast<int32_t>(declarations_.size());
}

void CPluginManager::setInterfaceHandler(CHlmPlg* owner, IInterface** variable, IHandler* handler,
                                         bool owned) {
    for (auto& declaration : declarations_) {
        if (declaration.owner == owner && declaration.variable == variable) {
            declaration.handler = handler;
            declaration.handlerOwned = owned;
            return;
        }
    }
}

bool CPluginManager::acquireInterfaces(CHlmPlg* owner) {
    // Indexes, not iterators: a plugin's registerHandler may declare more.
    for (size_t i = 0; i < declarations_.size(); ++i) {
        if (declarations_[i].owner != owner) {
            continue;
        }
        const int32_t id = declarations_[i].id;
        IInterface* object = createInterface(owner, id);
        Declaration& declaration = declarations_[i];
        if (object != nullptr) {
            if (declaration.handler != nullptr) {
                if (auto* target = dynamic_cast<IHandlerInterface*>(object)) {
                    target->registerHandler(declaration.handler);
                }
            }
            *declaration.variable = object;
            continue;
        }
        dropHandler(declaration);
        if (declaration.required) {
            reportMissingRequired(owner, id);
            return false;
        }
    }
    return true;
}

bool CPluginManager::releaseInterfaces(CHlmPlg* owner) {
    for (size_t i = 0; i < declarations_.size(); ++i) {
        Declaration& declaration = declarations_[i];
        if (declaration.owner != owner || *declaration.variable == nullptr) {
            continue;
        }
        IInterface* object = *declaration.variable;
        if (declaration.handler != nullptr) {
            if (auto* target = dynamic_cast<IHandlerInterface*>(object)) {
                target->unregisterHandler(declaration.handler);
            }
            dropHandler(declaration);
        }
        releaseInterface(owner, declaration.id, object);
        *declaration.variable = nullptr;
    }
    return true;
}

HlmPlg::CHlmPlg* CPluginManager::providerOf(int32_t id) const {
    std::lock_guard providerGuard(providerLock_);
    auto found = providers_.find(id);
    return found == providers_.end() ? nullptr : found->second;
}

size_t CPluginManager::liveInterfaceCount() const {
    std::lock_guard liveGuard(liveLock_);
    return live_.size();
}

bool CPluginManager::isRegisteredProvider(const CHlmPlg* provider) const {
    std::lock_guard providerGuard(providerLock_);
    return std::any_of(providers_.begin(), providers_.end(),
                       [provider](const auto& entry) { return entry.second == provider; });
}

bool CPluginManager::hasLiveInterfacesFrom(const CHlmPlg* provider) const {
    std::lock_guard liveGuard(liveLock_);
    return std::any_of(live_.begin(), live_.end(), [provider](const IInterface* object) {
        return object->m_provider == provider;
    });
}

void CPluginManager::forgetDeclarations(CHlmPlg* owner) {
    for (auto& declaration : declarations_) {
        if (declaration.owner == owner) {
            dropHandler(declaration);
        }
    }
    std::erase_if(declarations_,
                  [owner](const Declaration& declaration) { return declaration.owner == owner; });
}

// A required interface that cannot be created is reported through the
// owner's own service object, to every service handler.
void CPluginManager::reportMissingRequired(CHlmPlg* owner, int32_t id) {
    IInterface* object = createInterface(owner, HlmPlg::IID_SERVICE);
    auto* service = dynamic_cast<HlmPlg::IService*>(object);
    if (service != nullptr) {
        service->broadcastMessage(text::format(u"QueryInterface(%d)", id).c_str(), 1);
    }
    if (object != nullptr) {
        releaseInterface(owner, HlmPlg::IID_SERVICE, object);
    }
}

// Only a handler handed over as owned is destroyed; a handler the plugin
// keeps (a member, say) is left alone and stays attached for the next start.
void CPluginManager::dropHandler(Declaration& declaration) {
    if (declaration.handler != nullptr && declaration.handlerOwned) {
        delete declaration.handler;
        declaration.handler = nullptr;
        declaration.handlerOwned = false;
    }
}

}  // namespace holm::core
