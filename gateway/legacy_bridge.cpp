#include "gateway/legacy_bridge.h"

#include <cstring>
#include <new>

#include "core/plugin_boundary.h"
#include "gateway/engine_records.h"
#include "gateway/gateway.h"
#include "gateway/plugin_manager2.h"
#include "hlmplg/gateway.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/key_value_list.h"
#include "hlmplg/string_list.h"

namespace holm::gateway {
namespace {

common::Mutex bridgeLock;
LegacyBridge* currentBridge GUARDED_BY(bridgeLock) = nullptr;

// Runs a call of remote (second-generation) code through the boundary.
template <class Call>
auto callRemote(const char16_t* place, const void* object, Call&& call) {
    return core::callPlugin(PluginManager2::currentReporting(), place,
                            core::Callee{object, nullptr, nullptr}, std::forward<Call>(call));
}

void releaseRemote(HlmPlg::IPluginObject2* object) {
    if (object != nullptr) {
        (void)callRemote(u"IPluginObject2::release", object, [object] { object->release(); });
    }
}

// A remote object of interface T with its reference, released through the
// boundary.
template <class T>
class Remote {
  public:
    explicit Remote(HlmPlg::IPluginObject2* object)
        : object_(object), typed_(object != nullptr ? dynamic_cast<T*>(object) : nullptr) {}
    ~Remote() { releaseRemote(object_); }
    Remote(const Remote&) = delete;
    Remote& operator=(const Remote&) = delete;
    T* get() const { return typed_; }

  private:
    HlmPlg::IPluginObject2* object_;
    T* typed_;
};

}  // namespace

LegacyBridge::LegacyBridge(HlmPlg::IHlmPlg* facade) : CHlmPlg(u"LegacyBridge", facade) {
    common::MutexLock hold(bridgeLock);
    currentBridge = this;
}

LegacyBridge::~LegacyBridge() {
    {
        common::MutexLock hold(bridgeLock);
        if (currentBridge == this) {
            currentBridge = nullptr;
        }
    }
    setManager(nullptr);
}

bool LegacyBridge::exists() {
    common::MutexLock hold(bridgeLock);
    return currentBridge != nullptr;
}

bool LegacyBridge::attachManager(PluginManager2* manager) {
    common::MutexLock hold(bridgeLock);
    if (currentBridge == nullptr) {
        return false;
    }
    currentBridge->setManager(manager);
    return true;
}

void LegacyBridge::setManager(PluginManager2* manager) {
    if (manager != nullptr) {
        manager->addRef();
    }
    PluginManager2* old = nullptr;
    {
        common::MutexLock hold(lock_);
        old = manager_;
        manager_ = manager;
    }
    if (old != nullptr) {
        old->release();
    }
}

HlmPlg::IPluginObject2* LegacyBridge::remoteObject(const char* factoryName, const char* typeName) {
    PluginManager2* manager = nullptr;
    {
        common::MutexLock hold(lock_);
        manager = manager_;
        if (manager == nullptr) {
            return nullptr;
        }
        manager->addRef();
    }
    HlmPlg::IPluginObject2* object = manager->createObject(factoryName, typeName);
    manager->release();
    return object;
}

bool LegacyBridge::load() {
    try {
        return m_facade != nullptr && m_facade->registerProvider(HlmPlg::IID_ENGINE, this) &&
               m_facade->registerProvider(HlmPlg::IID_AVHIO, this);
    } catch (const HlmPlg::CHlmException& exception) {
        setLastError(exception.getErrorCode());
        throw;
    } catch (...) {
        setLastError(static_cast<uint32_t>(-1));
        throw;
    }
}

bool LegacyBridge::unload() {
    try {
        return m_facade != nullptr && m_facade->unregisterProvider(HlmPlg::IID_AVHIO, this) &&
               m_facade->unregisterProvider(HlmPlg::IID_ENGINE, this);
    } catch (const HlmPlg::CHlmException& exception) {
        setLastError(exception.getErrorCode());
        throw;
    } catch (...) {
        setLastError(static_cast<uint32_t>(-1));
        throw;
    }
}

HlmPlg::IInterface* LegacyBridge::createInterface(int32_t id) {
    switch (id) {
        case HlmPlg::IID_ENGINE:
            return new (std::nothrow) LBEngineAccess(*this);
        case HlmPlg::IID_AVHIO:
            return new (std::nothrow) LBAvhioAccess(*this);
        default:
            return nullptr;
    }
}

LBEngineAccess::~LBEngineAccess() {
    releaseRemote(object_);
}

HlmPlg::ILocalDecider* LBEngineAccess::engine() {
    if (object_ == nullptr) {
        object_ = bridge_.remoteObject(HlmPlg::kEngineFactoryName, HlmPlg::kEngineObjectName);
        engine_ = object_ != nullptr ? dynamic_cast<HlmPlg::ILocalDecider*>(object_) : nullptr;
    }
    return engine_;
}

// The walk reads data the engine handed over, so it runs under the fault
// guard like the engine's own calls: a wild pointer fails the call.
bool LBEngineAccess::getExtensionList(HlmPlg::IStringList* list) {
    HlmPlg::ILocalDecider* decider = engine();
    if (decider == nullptr || list == nullptr) {
        return false;
    }
    HlmPlg::ExtensionList extensions{};
    const auto filled = callRemote(u"ILocalDecider::getExtensionList", decider,
                                   [&] { return decider->getExtensionList(&extensions); });
    if (!filled || *filled != 0) {
        return false;
    }
    const auto texts = callRemote(u"ILocalDecider::extensionList", decider,
                                  [&] { return extensionsOf(extensions); });
    (void)callRemote(u"ILocalDecider::freeExtensionList", decider,
                     [&] { decider->freeExtensionList(&extensions); });
    if (!texts) {
        return false;
    }
    for (const std::u16string& text : *texts) {
        list->add(text.c_str());
    }
    return true;
}

bool LBEngineAccess::getVersion(HlmPlg::EngineVersion* version, bool second) {
    if (version == nullptr) {
        return false;
    }
    std::memset(version, 0, sizeof(*version));
    HlmPlg::ILocalDecider* decider = engine();
    if (decider == nullptr) {
        return false;
    }
    const auto copied = callRemote(u"ILocalDecider::getInformation", decider, [&] {
        const HlmPlg::EngineInformation* information = decider->getInformation();
        const HlmPlg::EngineVersionSource* source =
            information == nullptr ? nullptr
                                   : (second ? information->versionB : information->versionA);
        if (source == nullptr) {
            return false;  // nothing to copy: reported as failure, not a crash
        }
        *version = second ? versionB(*source) : versionA(*source);
        return true;
    });
    return copied.value_or(false);
}

bool LBEngineAccess::getVersionA(HlmPlg::EngineVersion* version) {
    return getVersion(version, false);
}

bool LBEngineAccess::getVersionB(HlmPlg::EngineVersion* version) {
    return getVersion(version, true);
}

uint32_t LBEngineAccess::notifyUpdate() {
    HlmPlg::IPluginObject2* object =
        bridge_.remoteObject(HlmPlg::kGatewayFactoryName, HlmPlg::kGatewayUpdateNotifier);
    if (auto* notifier = dynamic_cast<HlmPlg::IHP2ObjNotifier*>(object)) {
        notifier->notify();  // the gateway's own: it calls its subscribers through the boundary
    }
    releaseRemote(object);
    return 0;
}

template <class Call, class Result>
Result LBAvhioAccess::withRemote(const char16_t* place, Result failed, Call call) {
    Remote<HlmPlg::IAvhioRemote> remote(
        bridge_.remoteObject(HlmPlg::kAvhioFactoryName, HlmPlg::kAvhioObjectName));
    HlmPlg::IAvhioRemote* object = remote.get();
    if (object == nullptr) {
        return failed;
    }
    return callRemote(place, object, [&] { return call(*object); }).value_or(failed);
}

uint32_t LBAvhioAccess::getState() {
    return withRemote(u"IAvhioRemote::getState", uint32_t{0},
                      [](HlmPlg::IAvhioRemote& remote) { return remote.getState(); });
}

bool LBAvhioAccess::setOption(uint32_t option, uint32_t value) {
    return withRemote(u"IAvhioRemote::setOption", false, [&](HlmPlg::IAvhioRemote& remote) {
        return remote.setOption(option, value);
    });
}

void LBAvhioAccess::getStatistics(HlmPlg::IKeyValueList* list) {
    if (list == nullptr) {
        return;
    }
    HlmPlg::AvhioStatistics statistics{};
    const bool filled = withRemote(
        u"IAvhioRemote::getStatistics", false,
        [&](HlmPlg::IAvhioRemote& remote) { return remote.getStatistics(&statistics) != 0; });
    if (filled) {
        writeStatistics(statistics, *list);
    }
}

bool LBAvhioAccess::setStatistics(HlmPlg::IKeyValueList* list) {
    if (list == nullptr) {
        return false;
    }
    const HlmPlg::AvhioStatistics statistics = readStatistics(*list);
    return withRemote(u"IAvhioRemote::setStatistics", false, [&](HlmPlg::IAvhioRemote& remote) {
        return remote.setStatistics(&statistics) == 1;
    });
}

bool LBAvhioAccess::isActive() {
    return withRemote(u"IAvhioRemote::isActive", false,
                      [](HlmPlg::IAvhioRemote& remote) { return remote.isActive() == 1; });
}

bool LBAvhioAccess::control(uint32_t code, uint32_t value) {
    return withRemote(u"IAvhioRemote::control", false, [&](HlmPlg::IAvhioRemote& remote) {
        return remote.control(code, value) == 1;
    });
}

}  // namespace holm::gateway
