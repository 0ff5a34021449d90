// The legacy bridge: a first-generation plugin object inside the core
// library that provides the engine (id 57) and the I/O driver bridge (id 58)
// to first-generation plugins by calling the second-generation objects that
// serve them ("ILocalDecider" of "Holm/ENGINE/2.0", "IAvhioRemote" of
// "Holm/AVHIO/2.0").
//
// The core library's getHlmPlugin2 makes it; the most recent bridge is the
// process-wide one, which the second plugin manager needs before it loads
// anything. Access objects reach remote objects only through the manager;
// every call of a remote object goes through the plugin boundary.
#pragma once

#include <cstdint>

#include "common/mutex.h"
#include "hlmplg/engine.h"
#include "hlmplg/plugin.h"
#include "hlmplg/plugin2.h"

namespace holm::gateway {

class PluginManager2;

class LegacyBridge final : public HlmPlg::CHlmPlg {
  public:
    explicit LegacyBridge(HlmPlg::IHlmPlg* facade);
    ~LegacyBridge() override;

    // Registers as the provider of ids 57 and 58 (58 is not tried when 57
    // fails); a facade exception sets the last error and travels on.
    bool load() override;
    // Unregisters 58, then 57.
    bool unload() override;
    // 57: a new engine access object; 58: a new I/O bridge access object;
    // anything else null.
    HlmPlg::IInterface* createInterface(int32_t id) override;

    // Gives the process-wide bridge the manager (it keeps a reference);
    // false when there is no bridge.
    static bool attachManager(PluginManager2* manager);
    // Whether a bridge exists.
    static bool exists();

    // A new reference to `typeName` of the factory `factoryName`, or null
    // (no manager yet, or the manager gives none).
    HlmPlg::IPluginObject2* remoteObject(const char* factoryName, const char* typeName)
        EXCLUDES(lock_);

  private:
    void setManager(PluginManager2* manager) EXCLUDES(lock_);

    common::Mutex lock_;
    PluginManager2* manager_ GUARDED_BY(lock_) = nullptr;  // one reference held
};

// Serves IEngine from the engine's "ILocalDecider", obtained on first use
// and kept until the access object is released. One access object is meant
// for one thread at a time.
class LBEngineAccess final : public HlmPlg::IEngine {
  public:
    explicit LBEngineAccess(LegacyBridge& bridge) : bridge_(bridge) {}
    ~LBEngineAccess() override;

    bool registerHandler(HlmPlg::IHandler*) override { return true; }
    bool unregisterHandler(HlmPlg::IHandler*) override { return true; }
    bool getExtensionList(HlmPlg::IStringList* list) override;
    bool fixed4(uint32_t, uint32_t) override { return false; }
    uint32_t fixed5() override { return 0; }
    void fixed6(uint32_t) override {}
    bool fixed7(uint32_t) override { return false; }
    uint32_t fixed8() override { return 0; }
    bool getVersionA(HlmPlg::EngineVersion* version) override;
    bool getVersionB(HlmPlg::EngineVersion* version) override;
    uint32_t fixed11(uint32_t, uint32_t) override { return 0; }
    void fixed12(uint32_t) override {}
    bool fixed13(uint32_t) override { return false; }
    bool fixed14(uint32_t) override { return false; }
    uint32_t notifyUpdate() override;

  private:
    HlmPlg::ILocalDecider* engine();
    bool getVersion(HlmPlg::EngineVersion* version, bool second);

    LegacyBridge& bridge_;
    HlmPlg::IPluginObject2* object_ = nullptr;  // one reference held
    HlmPlg::ILocalDecider* engine_ = nullptr;
};

// Serves IAVHIo from "IAvhioRemote", obtained anew for every call.
class LBAvhioAccess final : public HlmPlg::IAVHIo {
  public:
    explicit LBAvhioAccess(LegacyBridge& bridge) : bridge_(bridge) {}

    bool registerHandler(HlmPlg::IHandler*) override { return true; }
    bool unregisterHandler(HlmPlg::IHandler*) override { return true; }
    uint32_t fixed3() override { return 0; }
    uint32_t getState() override;
    bool setOption(uint32_t option, uint32_t value) override;
    bool fixed6() override { return false; }
    void getStatistics(HlmPlg::IKeyValueList* list) override;
    bool setStatistics(HlmPlg::IKeyValueList* list) override;
    bool isActive() override;
    bool control(uint32_t code, uint32_t value) override;

  private:
    // Calls `call` with the remote object; `failed` without one or when the
    // call fails.
    template <class Call, class Result>
    Result withRemote(const char16_t* place, Result failed, Call call);

    LegacyBridge& bridge_;
};

}  // namespace holm::gateway
