// The core object a host drives: start-up checks, the plugin list, the
// interface providers, run and stop, and the reports to the host.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "core/control_object.h"
#include "core/core_provider.h"
#include "core/host_link.h"
#include "core/plugin_boundary.h"
#include "core/plugin_lifecycle.h"
#include "core/plugin_list.h"
#include "core/plugin_manager.h"
#include "core/second_generation.h"
#include "hlmplg/core.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/service.h"
#include "security/verified_file.h"

namespace holm::core {

// The core's own plugin object: the owner of what the host asks for.
class CHlmPlgCore : public HlmPlg::CHlmPlg {
  public:
    explicit CHlmPlgCore(HlmPlg::IHlmPlg* facade) : CHlmPlg(u"HlmPlg", facade) {}
};

class CHolmCore : public HlmPlg::IHlmCore, public HostLink, private ControlTarget {
  public:
    // Run codes: plugin n failed to load (base + n) or to start.
    static constexpr uint32_t kLoadFailedBase = 200;
    static constexpr uint32_t kStartFailedBase = 300;
    // Start-up failure codes.
    static constexpr uint32_t kOwnModuleFailed = 101;
    static constexpr uint32_t kTextLibraryFailed = 102;
    static constexpr uint32_t kListFileFailed = 103;
    static constexpr uint32_t kListNotLoaded = 2;

    explicit CHolmCore(HlmPlg::IHlmCoreHandler* handler);
    // A core destroyed while plugins still run (no stop, or an exception
    // ended run) stops and unloads them first.
    ~CHolmCore() override;

    // Runs the start-up checks and reads the plugin list; 0 or a failure
    // code (also reported to the host as a stopped status).
    uint32_t init(const char16_t* pluginList);

    uint32_t getVersion() override { return HlmPlg::kFrameworkVersion; }
    // Also serves the host's control object (common::hostctl::kHostControlId), which
    // the facade of the plugins never hands out.
    HlmPlg::IInterface* createInterface(int32_t id) override;
    void releaseInterface(int32_t id, HlmPlg::IInterface* object) override;
    bool handleCmdLine() override;
    uint32_t run(bool quick) override;
    uint32_t stop() override;
    const char16_t* getListAttribute(const char16_t* name, const char16_t* defaultValue) override;
    void setCommandLine(int32_t count, const char16_t* const* arguments) override;
    void registerServiceHandler(HlmPlg::IServiceHandler* handler) override;
    void serviceControl(uint32_t control, uint32_t eventType, void* eventData) override;
    void reloadConfig() override;

    void setHandler(HlmPlg::IHlmCoreHandler* handler);
    // The host's handler (null without one); service objects report through it.
    HlmPlg::IHlmCoreHandler* hostHandler() const override { return handler_; }

  private:
    // ControlTarget: the host's requests run between the end of run and the
    // start of stop, one at a time (controlLock_), never during a phase.
    std::vector<PluginRecord> pluginRecords() const override { return statusBoard_.snapshot(); }
    uint32_t controlReload() override;
    uint32_t controlTest(const std::u16string& target, const std::u16string& argument,
                         const std::function<void(const std::u16string&, bool)>& report) override;
    void setEventSink(common::hostctl::IHostEvents* sink) override;

    uint32_t initialize(const std::u16string& pluginList);
    bool selftest(const std::u16string& path, security::UnsignedFiles unsignedFiles,
                  security::LoadedFiles loadedFiles);
    // The line required for a failed self-test, and the check's reason.
    void logSelftestFailure(const std::u16string& path, const std::string& reason);
    uint32_t loadPluginList(const std::u16string& pluginList);
    void registerProviders();
    void unregisterProviders();
    void removeStaleTempFolders();
    void updateLifecycleContext();
    // `code` receives the exit code noted so far (a plugin that failed to
    // start), for the report should an exception end the run.
    uint32_t runPhases(bool quick, uint32_t& code);
    void notifyStopping();
    void initializeSecondGeneration();
    // Tells the second generation to stop / unload, when there is one.
    void stopSecondGeneration();
    void unloadSecondGeneration();
    BoundaryReporting reporting() const { return {ownService_, handler_}; }
    uint32_t finalReport(uint32_t code);
    // A standard exception at an entry point: rethrown when the exception
    // policy says so, otherwise reported to the service handlers.
    void handleException(std::exception& exception, const char16_t* place);
    void log(const std::u16string& text);
    void warnMasterTextsUnreadable(const std::string& problem);

    // Outlives both generations' plugins, which write to it to the end.
    PluginStatusBoard statusBoard_;
    CPluginManager manager_;
    // Its plugins go before the facade and the provider they are registered
    // with (the destructor empties it first).
    CPluginLifecycle lifecycle_;
    PluginList list_;
    CHlmPlgCore ownPlugin_;
    std::unique_ptr<CHlmPlgPluginManager> provider_;
    // The second plugin manager (none in a core built without the gateway);
    // released before the providers its plugins' objects came from.
    SecondGenerationRef secondGeneration_;
    HlmPlg::IService* ownService_ = nullptr;
    HlmPlg::IHlmCoreHandler* handler_;
    std::u16string productDirectory_;
    std::u16string listName_;
    // Held by the host's requests and by every reload (HUP and the host's
    // reload request may come from different threads); recursive, as a
    // reload request runs reloadConfig.
    common::RecursiveMutex controlLock_;
    bool running_ GUARDED_BY(controlLock_) = false;
    bool reloadPending_ GUARDED_BY(controlLock_) = false;
    // Whether the host's requests may reach the plugins.
    bool controlOpen_ GUARDED_BY(controlLock_) = false;
};

}  // namespace holm::core
