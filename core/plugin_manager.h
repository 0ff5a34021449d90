// CPluginManager, the facade (`IHlmPlg`) of one core: what plugins call to
// obtain and release service objects by interface id, to register as
// providers and to declare the interfaces they need. It keeps the provider
// map, the list of live interface objects and the plugins' declarations,
// and routes every request to the provider of its id (the core's own
// provider, CHlmPlgPluginManager in core/core_provider.h, or a plugin that
// registered as one). The plugin list and its phases are CPluginLifecycle's
// (core/plugin_lifecycle.h), which uses this facade.
//
// Calls into plugin code (a plugin provider's createInterface and
// releaseInterface, owned-handler destructors, handler registration on a
// plugin's object) go through the plugin boundary with none of the facade's
// locks held, and no reference into a declaration record is kept across
// them: a plugin may declare or release from inside such a call.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "common/mutex.h"
#include "core/plugin_boundary.h"
#include "hlmplg/plugin.h"

namespace holm::core {

class CPluginManager : public HlmPlg::IHlmPlg {
  public:
    CPluginManager() = default;
    ~CPluginManager() override;
    CPluginManager(const CPluginManager&) = delete;
    CPluginManager& operator=(const CPluginManager&) = delete;

    bool registerProvider(int32_t id, HlmPlg::CHlmPlg* provider) override;
    bool unregisterProvider(int32_t id, HlmPlg::CHlmPlg* provider) override EXCLUDES(liveLock_);
    HlmPlg::IInterface* createInterface(HlmPlg::CHlmPlg* owner, int32_t id) override
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    // Hands a live object back to the provider that made it. An object the
    // facade does not know (released twice, never handed out) is ignored
    // with a log line.
    void releaseInterface(HlmPlg::CHlmPlg* owner, int32_t id, HlmPlg::IInterface* object) override
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    int32_t declareInterface(HlmPlg::CHlmPlg* owner, int32_t id, HlmPlg::IInterface** variable,
                             bool required) override EXCLUDES(declarationLock_);
    void setInterfaceHandler(HlmPlg::CHlmPlg* owner, HlmPlg::IInterface** variable,
                             HlmPlg::IHandler* handler, bool owned) override
        EXCLUDES(declarationLock_);
    bool acquireInterfaces(HlmPlg::CHlmPlg* owner) override
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    bool releaseInterfaces(HlmPlg::CHlmPlg* owner) override
        EXCLUDES(providerLock_, liveLock_, declarationLock_);

    // Where failures of plugin calls are reported; `ownProvider` is the
    // core's provider, whose calls run no plugin code.
    void setReporting(BoundaryReporting reporting, HlmPlg::CHlmPlg* ownProvider);

    // The provider registered for `id`, or null.
    HlmPlg::CHlmPlg* providerOf(int32_t id) const EXCLUDES(providerLock_);
    // Number of objects handed out and not yet released.
    size_t liveInterfaceCount() const EXCLUDES(liveLock_);
    // Whether `provider` is the provider of any id, or a call into it runs.
    bool isRegisteredProvider(const HlmPlg::CHlmPlg* provider) const EXCLUDES(providerLock_);
    // Whether an object made by `provider` is still out.
    bool hasLiveInterfacesFrom(const HlmPlg::CHlmPlg* provider) const EXCLUDES(liveLock_);
    // Drops the declarations of an owner that goes away: interfaces still
    // acquired are released first (their handlers unregistered), then owned
    // handlers are destroyed, each once.
    void forgetDeclarations(HlmPlg::CHlmPlg* owner)
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    // Releases what an owner still holds of its declared interfaces (after
    // its start failed part-way), keeping the records for a later start.
    // Exceptions of plugin code are reported, not passed on.
    void releaseAcquired(HlmPlg::CHlmPlg* owner)
        EXCLUDES(providerLock_, liveLock_, declarationLock_);

  private:
    struct Declaration {
        uint64_t key;  // stable across insertions and removals
        HlmPlg::CHlmPlg* owner;
        int32_t id;
        HlmPlg::IInterface** variable;
        HlmPlg::IHandler* handler;
        bool handlerOwned;
        bool required;
    };

    void reportMissingRequired(HlmPlg::CHlmPlg* owner, int32_t id)
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    // Keys of the owner's records, in order.
    std::vector<uint64_t> keysOf(const HlmPlg::CHlmPlg* owner) const EXCLUDES(declarationLock_);
    // A copy of the record `key`, if it still exists.
    bool recordOf(uint64_t key, Declaration& out) const EXCLUDES(declarationLock_);
    // Releases the interface of one record (unregistering its handler and
    // destroying an owned one); `passExceptions` as for a plugin's call.
    void releaseRecord(uint64_t key, bool passExceptions)
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    // Destroys the owned handler of record `key` and clears it.
    void destroyOwnedHandler(uint64_t key) EXCLUDES(providerLock_, liveLock_, declarationLock_);
    void destroyHandler(HlmPlg::IHandler* handler)
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    void attachHandler(HlmPlg::IInterface* object, HlmPlg::IHandler* handler, bool attach,
                       bool passExceptions) EXCLUDES(providerLock_, liveLock_, declarationLock_);
    HlmPlg::IInterface* callCreate(HlmPlg::CHlmPlg* provider, int32_t id, bool passExceptions)
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    void callRelease(HlmPlg::CHlmPlg* provider, HlmPlg::IInterface* object, bool passExceptions)
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    void releaseObject(HlmPlg::IInterface* object, bool passExceptions)
        EXCLUDES(providerLock_, liveLock_, declarationLock_);
    BoundaryReporting reporting(bool passExceptions) const;
    void log(const std::u16string& text) const;

    // Lock order, everywhere: providerLock_ before liveLock_. Neither is held
    // across a call into plugin code (the functions that make one exclude
    // all three). The provider lock is recursive: the core's own provider,
    // called under it, may register providers.
    mutable common::RecursiveMutex providerLock_;
    std::map<int32_t, HlmPlg::CHlmPlg*> providers_ GUARDED_BY(providerLock_);
    // Calls running per provider.
    std::map<const HlmPlg::CHlmPlg*, uint32_t> providerCalls_ GUARDED_BY(providerLock_);
    mutable common::Mutex liveLock_;
    std::vector<HlmPlg::IInterface*> live_ GUARDED_BY(liveLock_);
    mutable common::Mutex declarationLock_;
    std::vector<Declaration> declarations_ GUARDED_BY(declarationLock_);
    uint64_t nextKey_ GUARDED_BY(declarationLock_) = 1;
    BoundaryReporting reporting_;
    HlmPlg::CHlmPlg* ownProvider_ = nullptr;
};

}  // namespace holm::core
