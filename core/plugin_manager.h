// The facade (`IHlmPlg`) of one core: the provider map, the list of live
// interface objects and the plugins' interface declarations.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "hlmplg/plugin.h"

namespace holm::core {

class CPluginLifecycle;

class CPluginManager : public HlmPlg::IHlmPlg {
  public:
    CPluginManager();
    ~CPluginManager() override;
    CPluginManager(const CPluginManager&) = delete;
    CPluginManager& operator=(const CPluginManager&) = delete;

    bool registerProvider(int32_t id, HlmPlg::CHlmPlg* provider) override;
    bool unregisterProvider(int32_t id, HlmPlg::CHlmPlg* provider) override;
    HlmPlg::IInterface* createInterface(HlmPlg::CHlmPlg* owner, int32_t id) override;
    void releaseInterface(HlmPlg::CHlmPlg* owner, int32_t id, HlmPlg::IInterface* object) override;
    int32_t declareInterface(HlmPlg::CHlmPlg* owner, int32_t id, HlmPlg::IInterface** variable,
                             bool required) override;
    void setInterfaceHandler(HlmPlg::CHlmPlg* owner, HlmPlg::IInterface** variable,
                             HlmPlg::IHandler* handler, bool owned) override;
    bool acquireInterfaces(HlmPlg::CHlmPlg* owner) override;
    bool releaseInterfaces(HlmPlg::CHlmPlg* owner) override;

    // The provider registered for `id`, or null.
    HlmPlg::CHlmPlg* providerOf(int32_t id) const;
    // Number of objects handed out and not yet released.
    size_t liveInterfaceCount() const;
    // Whether `provider` is the provider of any id.
    bool isRegisteredProvider(const HlmPlg::CHlmPlg* provider) const;
    // Whether an object made by `provider` is still out.
    bool hasLiveInterfacesFrom(const HlmPlg::CHlmPlg* provider) const;
    // Drops the declarations of an owner that goes away (owned handlers are
    // destroyed).
    void forgetDeclarations(HlmPlg::CHlmPlg* owner);

    // The plugin list and its phases.
    CPluginLifecycle& lifecycle() { return *lifecycle_; }

  private:
    struct Declaration {
        HlmPlg::CHlmPlg* owner;
        int32_t id;
        HlmPlg::IInterface** variable;
        HlmPlg::IHandler* handler;
        bool handlerOwned;
        bool required;
    };

    void reportMissingRequired(HlmPlg::CHlmPlg* owner, int32_t id);
    static void dropHandler(Declaration& declaration);

    // Lock order, everywhere: providerLock_ before liveLock_.
    mutable std::recursive_mutex providerLock_;
    std::map<int32_t, HlmPlg::CHlmPlg*> providers_;
    mutable std::recursive_mutex liveLock_;
    std::vector<HlmPlg::IInterface*> live_;
    // Made and used on the lifecycle thread only (load, start, stop).
    std::vector<Declaration> declarations_;
    // Last: its plugins go before the maps they may still be named in.
    std::unique_ptr<CPluginLifecycle> lifecycle_;
};

}  // namespace holm::core
