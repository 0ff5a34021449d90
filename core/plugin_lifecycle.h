// The lifecycle side of the plugin manager: the ordered list of plugin
// wrappers, the loader that fills it, and the phases that drive every plugin
// (Load, Start, Stop, UnLoad, ReloadConfig), with their log lines, service
// status hints and operator events.
//
// Library lifetime: a plugin's library is freed only when nothing of the
// plugin is left registered with the core (interface objects it provides
// still out, provider entries naming it, service handlers whose code lies in
// the library) and it never faulted. Otherwise the plugin object and its
// library stay in memory for the rest of the process and a log line says
// why; that costs some memory but never leaves the core calling unmapped
// code.
//
// A plugin whose Start fails gives back at once whatever its base start
// acquired (its declaration records stay, so a later Start acquires again);
// a plugin that goes away has its interfaces released, its handlers
// unregistered and its owned handlers destroyed before its object is
// destroyed. Every call into a plugin goes through the plugin boundary.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/plugin.h"
#include "core/plugin_list.h"
#include "core/plugin_manager.h"
#include "core/plugin_status.h"
#include "core/service_handlers.h"
#include "hlmplg/core.h"
#include "platform/result.h"
#include "security/library_dependencies.h"
#include "security/verified_file.h"

namespace holm::services {
class CConfigStore;
}

namespace holm::async {
class CAsyncImplObjects;
}

namespace holm::core {

enum class Phase : uint32_t {
    Load = 0,
    UnLoad = 1,
    Start = 2,
    Stop = 3,
    ReloadConfig = 4,
    None = 5
};

// The parts of the core the lifecycle works with; set once the core has made
// them. Every pointer may be null.
struct LifecycleContext {
    HlmPlg::IHlmCoreHandler* host = nullptr;
    // Receives exception reports of the plugins' calls.
    HlmPlg::IService* service = nullptr;
    ServiceHandlerList* serviceHandlers = nullptr;
    services::CConfigStore* configStore = nullptr;
    // The owner of the objects the manager obtains for itself.
    HlmPlg::CHlmPlg* owner = nullptr;
    // Relative library names resolve here.
    std::string productDirectory;
    // Told to stop its watches at the start of every Stop phase.
    async::CAsyncImplObjects* dispatcher = nullptr;
    // Hears of every plugin's state changes and failures.
    PluginStatusBoard* board = nullptr;
    // Where root-owned libraries a plugin depends on may come from.
    security::DirectoryList systemLibraries = security::systemLibraryDirectories();
};

class CPluginLifecycle {
  public:
    // Results of addPlugin besides the wrapper's own (CPlugin::loadPlugin).
    static constexpr int32_t kAdded = 0;
    static constexpr int32_t kSelftestFailed = 1;
    static constexpr int32_t kVersionRefused = 2;
    static constexpr int32_t kLoadFailed = 3;
    static constexpr int32_t kNoEntryPoint = 4;
    static constexpr int32_t kDeclined = 6;

    explicit CPluginLifecycle(CPluginManager& facade);
    ~CPluginLifecycle();
    CPluginLifecycle(const CPluginLifecycle&) = delete;
    CPluginLifecycle& operator=(const CPluginLifecycle&) = delete;

    void setContext(LifecycleContext context);
    EventReporter& events() { return events_; }

    // Loads the library of `entry` from its verified file and appends a
    // wrapper for it; returns one of the codes above (or -1 when reading the
    // plugin's version threw). Every failure leaves nothing loaded. `why`
    // (optional) receives the reason of a refused or failed load: the
    // signature check's, the dependency rule's or the loader's own text.
    int32_t addPlugin(const PluginListEntry& entry, std::string* why = nullptr);
    // addPlugin for every entry, logging and reporting each failure; the
    // libraries are verified in parallel first (see the definition).
    void loadList(const std::vector<PluginListEntry>& entries);
    // Drops the plugins that report themselves not installed; needs a
    // configuration object, else does nothing.
    void removeNotInstalled();
    // What a phase walk does after a plugin failed.
    enum class OnFailure { StopWalk, GoOn };
    // Runs `phase` over every plugin; 0, or the 1-based list position of the
    // first plugin that failed. The walk stops there unless `onFailure` is
    // GoOn (the core's stop: one plugin that cannot stop must not leave the
    // others running while their objects are destroyed).
    uint32_t callAll(Phase phase, bool reverse, OnFailure onFailure = OnFailure::StopWalk);
    // Offers the process command line to the plugins; true at the first that
    // takes it.
    bool handleCmdLine();
    // The "test" option: calls `test` of the plugins it names.
    void runTest();
    // Calls `test` of the plugin named `target` (ignoring case), or of every
    // plugin for "all", with `argument`, logging each result and handing it
    // to `report` (may be empty); returns the number of plugins tested.
    using TestReport = std::function<void(const std::u16string& plugin, bool passed)>;
    uint32_t testPlugins(const std::u16string& target, const std::u16string& argument,
                         const TestReport& report);
    // Destroys every wrapper (last first) and empties the list.
    void destroyAll();

    size_t count() const { return plugins_.size(); }
    const CPlugin& plugin(size_t index) const { return *plugins_.at(index); }
    Phase currentPhase() const { return phase_; }

  private:
    // What checking one list entry's library found: the verified file, ready
    // to be loaded from its descriptor, or the result code and reason of the
    // refusal.
    struct VerifiedEntry {
        int32_t result = kAdded;
        std::optional<security::VerifiedFile> file;
        std::string why;
    };
    // Touches nothing but the file system: safe to run for several entries
    // at once.
    VerifiedEntry verifyEntry(const PluginListEntry& entry,
                              const security::LoadedModuleQuery& isLoaded) const;
    int32_t addPluginWithReason(const PluginListEntry& entry, std::string& why);
    // Loads a verified entry and appends its wrapper (the second half of
    // addPlugin).
    int32_t loadVerified(const PluginListEntry& entry, VerifiedEntry& verified, std::string& why);
    // loadVerified, logging and reporting a failure.
    void loadListEntry(const PluginListEntry& entry, VerifiedEntry& verified);
    // The self-test and the dependency rule: the verified file, or why not.
    platform::Result<security::VerifiedFile, std::string> verifyLibrary(
        const std::string& path, const security::LoadedModuleQuery& isLoaded) const;
    bool callOne(CPlugin& plugin, Phase phase);
    bool callPhase(CPlugin& plugin, Phase phase);
    void reloadConfiguration();
    template <typename Call>
    void notifyConfigHandler(const char16_t* place, HlmPlg::IConfigHandler* handler, Call call);
    void reportEvent(EventKind kind, uint32_t messageId, std::u16string text,
                     std::u16string insertion, uint32_t code);
    // Destroys a wrapper, or abandons it when something of it is still
    // registered (see the file comment).
    void dispose(std::unique_ptr<CPlugin> plugin);
    // Why the plugin's library must stay mapped; empty when nothing holds it.
    std::u16string residueOf(const CPlugin& plugin) const;
    bool hasHandlerInLibrary(const platform::SharedLibrary& library) const;
    void log(uint32_t level, const std::u16string& text) const;
    // Tells the status board what a call of `plugin` left behind.
    void noteStatus(const CPlugin& plugin, Phase phase, bool succeeded, uint32_t lastError);

    CPluginManager& facade_;
    LifecycleContext context_;
    std::vector<std::unique_ptr<CPlugin>> plugins_;
    Phase phase_ = Phase::None;
    EventReporter events_;
};

}  // namespace holm::core
