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
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "common/published.h"
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
    HlmPlg::IPluginObject2* createObject(const char* factoryName, const char* typeName) override
        EXCLUDES(lock_);
    void setAvailableAfterInit() override;
    HlmPlg::IHlmCore* getCore() override EXCLUDES(lock_);

    // SecondGeneration: the core's hooks.
    uint32_t initialize(const std::vector<core::PluginListEntry>& entries,
                        core::SecondGenerationContext context) override EXCLUDES(lock_);
    void start(bool quick) override EXCLUDES(lock_);
    void stop() override EXCLUDES(lock_);
    void unload() override EXCLUDES(lock_);
    void releaseReference() override { release(); }

    // Loads one library (a path) with its root `factoryName`; 0 or a load
    // code. Not reported.
    uint32_t loadPlugin(const std::u16string& path, const std::string& factoryName) EXCLUDES(lock_);

    void setBusyWaitLimit(std::chrono::milliseconds limit) EXCLUDES(lock_);
    // The number of loaded plugins.
    size_t count() EXCLUDES(lock_);

  private:
    struct Context;
    using ContextRef = std::shared_ptr<Context>;
    // The list as createObject reads it without the lock: a copy made on
    // every change of the list.
    struct Listed {
        std::vector<ContextRef> contexts;
    };

    PluginManager2() = default;
    ~PluginManager2() override;

    // Waits while `context` is busy, `hold` held on entry and exit; false
    // when the limit passed first.
    bool waitIdle(common::MutexLock& hold, const Context& context) REQUIRES(lock_);
    std::vector<ContextRef> snapshot(bool reverse) EXCLUDES(lock_);
    bool listed(const Context& context) const REQUIRES(lock_);
    static Context* find(const Listed& listed, const char* factoryName);
    HlmPlg::IPluginObject2* callCreate(Context& context, const char* typeName);
    void publishContexts() REQUIRES(lock_);
    // The passes below call plugin code, the reports call the core's
    // listeners: none of them may run with the lock held.
    void startOne(const ContextRef& context, bool quick) EXCLUDES(lock_);
    void startedOne(const ContextRef& context) EXCLUDES(lock_);
    void stopOne(const ContextRef& context) EXCLUDES(lock_);
    void finishCall(Context& context, uint32_t state) EXCLUDES(lock_);
    void reportStartPending() EXCLUDES(lock_);
    // The operator's status board of the core (null without one), and what
    // the passes tell it.
    core::PluginStatusBoard* statusBoard() EXCLUDES(lock_);
    void noteLoad(const std::u16string& name, const std::u16string& file, uint32_t code)
        EXCLUDES(lock_);
    void noteState(const std::string& typeName, common::hostctl::PluginState state) EXCLUDES(lock_);
    void reportEvent(bool success, uint32_t messageId, std::u16string text,
                     const std::string& insertion, uint32_t code) EXCLUDES(lock_);
    void log(const std::u16string& text) EXCLUDES(lock_);
    core::BoundaryReporting reporting() EXCLUDES(lock_);

    std::atomic<uint32_t> references_{1};
    // Also guards each context's state and abandoned mark.
    common::Mutex lock_;
    common::ConditionVariable idle_;
    std::list<ContextRef> contexts_ GUARDED_BY(lock_);
    common::Published<const Listed> published_;
    std::atomic<bool> availableAfterInit_{false};
    std::chrono::milliseconds busyWaitLimit_ GUARDED_BY(lock_){std::chrono::seconds(30)};
    HlmPlg::IHlmCore* core_ GUARDED_BY(lock_) = nullptr;
    core::SecondGenerationContext context_ GUARDED_BY(lock_);
};

}  // namespace holm::gateway
