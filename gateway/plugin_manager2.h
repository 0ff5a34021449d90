// The second plugin manager: loads the second-generation plugins of the
// "plugins2" list entries, drives them through start, stop and unload, and
// brokers their objects by factory and type name.
//
// Threads: every operation may be called from any thread. One lock guards
// the list and every context's state; it is never held during a call into
// plugin code. A context whose plugin is inside init, start, stop or uninit
// is busy; another pass or request that meets it waits on a condition until
// it is idle, at most busyWaitLimit() (30 s unless changed). Past the limit:
//   - createObject gives null and sets the thread's last error to 1460
//     (ERROR_TIMEOUT);
//   - the start and stop passes skip that plugin and report an event with
//     code 1460;
//   - unload takes it off the list without calling it and reports an event
//     with code 1460; the pass inside the plugin calls its uninit when the
//     plugin returns, and its root and library go then.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/second_generation.h"
#include "hlmplg/plugin2.h"
#include "platform/shared_library.h"

namespace holm::gateway {

class PluginManager2 final : public HlmPlg::IPluginObject2,
                             public HlmPlg::IPluginManager2,
                             public core::SecondGeneration {
  public:
    // Context states; kBusy marks a plugin call in progress.
    static constexpr uint32_t kUnloading = 1;
    static constexpr uint32_t kLoaded = 2;
    static constexpr uint32_t kStarted = 4;
    static constexpr uint32_t kBusy = 0x1000;
    static constexpr uint32_t kAvailable = 0x2000;
    static constexpr uint32_t kStarting = kBusy | kStarted;
    static constexpr uint32_t kStopping = kBusy | kLoaded;
    // Load codes besides the loader's own (a library that does not load or
    // lacks "PluginFactory").
    static constexpr uint32_t kFileMissing = 2;
    static constexpr uint32_t kNoRoot = 8;
    static constexpr uint32_t kNotVerified = 1244;
    static constexpr uint32_t kOtherName = 1804;
    static constexpr uint32_t kInitException = 1064;
    static constexpr uint32_t kBusyTimeout = 1460;
    static constexpr uint32_t kNoBridge = 8;
    // Message numbers of "holmmsg.dll".
    static constexpr uint32_t kMessageLoadFailed = 2;

    // The process-wide manager, with a new reference; made on first use and
    // again after the last reference was released (a destroyed one is never
    // handed out).
    static PluginManager2* getInstance();
    // A manager of its own (count 1), for tests and benchmarks.
    static PluginManager2* create();
    // Where calls into second-generation code report: the settings the
    // process-wide manager was initialised with.
    static core::BoundaryReporting currentReporting();

    // IPluginObject2
    uint32_t addRef() override;
    uint32_t release() override;
    const char* getTypeName() override { return "Holm/PluginManager/2.0"; }

    // IPluginManager2
    HlmPlg::IPluginObject2* createObject(const char* factoryName, const char* typeName) override;
    void setAvailableAfterInit() override;
    HlmPlg::IHlmCore* getCore() override;

    // SecondGeneration: the core's hooks.
    uint32_t initialize(const std::vector<core::PluginListEntry>& entries,
                        core::SecondGenerationContext context) override;
    void start(bool quick) override;
    void stop() override;
    void unload() override;
    void releaseReference() override { release(); }

    // Loads one library (a path) with its root `factoryName`; 0 or a load
    // code. Not reported.
    uint32_t loadPlugin(const std::u16string& path, const std::string& factoryName);

    void setBusyWaitLimit(std::chrono::milliseconds limit);
    // The number of loaded plugins.
    size_t count();

  private:
    struct Context;
    using ContextRef = std::shared_ptr<Context>;

    PluginManager2() = default;
    ~PluginManager2() override;

    // Waits while `context` is busy, `hold` held on entry and exit; false
    // when the limit passed first.
    bool waitIdle(std::unique_lock<std::mutex>& hold, const Context& context);
    std::vector<ContextRef> snapshot(bool reverse);
    bool listed(const Context& context) const;
    void startOne(const ContextRef& context, bool quick);
    void startedOne(const ContextRef& context);
    void stopOne(const ContextRef& context);
    void finishCall(Context& context, uint32_t state);
    void reportStartPending();
    // The operator's status board of the core (null without one), and what
    // the passes tell it.
    core::PluginStatusBoard* statusBoard();
    void noteLoad(const std::u16string& name, const std::u16string& file, uint32_t code);
    void noteState(const std::string& typeName, hostctl::PluginState state);
    void reportEvent(bool success, uint32_t messageId, std::u16string text,
                     const std::string& insertion, uint32_t code);
    void log(const std::u16string& text);
    core::BoundaryReporting reporting();

    std::atomic<uint32_t> references_{1};
    std::mutex lock_;
    std::condition_variable idle_;
    std::list<ContextRef> contexts_;
    std::atomic<bool> availableAfterInit_{false};
    std::chrono::milliseconds busyWaitLimit_{std::chrono::seconds(30)};
    HlmPlg::IHlmCore* core_ = nullptr;
    core::SecondGenerationContext context_;
};

}  // namespace holm::gateway
