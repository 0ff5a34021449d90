// The host's control channel into the core: the plugins of both generations
// with their states, and the operator's requests (a reload, a plugin's test
// step). It belongs to the host program alone, not to plugins: the host asks
// the core for it with IHlmCore::createInterface(kHostControlId) and gives it
// back with IHlmCore::releaseInterface. The facade plugins call (IHlmPlg)
// never serves this id, whoever registers as its provider, so no plugin can
// reach the operator's view or its requests.
//
// The id lies far outside the plugin-facing ids (the core's own, 1 to 58,
// and the small ids plugins register as providers of).
#pragma once

#include <cstdint>

#include "hlmplg/interface.h"

namespace holm::common::hostctl {

inline constexpr int32_t kHostControlId = 0x484C4354;  // "HLCT"

// A plugin's lifecycle state.
enum class PluginState : uint32_t { Unloaded = 0, Loaded = 1, Started = 2, Stopped = 3 };

// One plugin as the core last saw it. The texts belong to the control
// object and stay valid until its next snapshot() or its release.
struct PluginStatus {
    const char16_t* name = nullptr;
    // The library's path as the list gives it.
    const char16_t* file = nullptr;
    // The version the plugin reported (first generation; 0 otherwise).
    uint32_t version = 0;
    // 1 or 2.
    uint32_t generation = 1;
    uint32_t state = 0;  // PluginState
    // When the state last changed, in milliseconds since 1970 (UTC).
    int64_t changedAtMs = 0;
    // A failed load or start, with its code (the load's result, the
    // plugin's last error).
    uint32_t loadFailed = 0;
    uint32_t loadCode = 0;
    uint32_t startFailed = 0;
    uint32_t startCode = 0;
    // Exceptions and processor faults of its calls the core contained.
    uint32_t faults = 0;
    // The plugin's last error as it last reported one (0: none).
    uint32_t lastError = 0;
};

// Receives the result of each plugin's test step.
class ITestResults {
  public:
    virtual void result(const char16_t* plugin, bool passed) = 0;

  protected:
    ~ITestResults() = default;
};

// The lifecycle events the core reports to the host as they happen.
enum class PluginEvent : uint32_t {
    Started = 1,
    StartFailed = 2,  // code: the plugin's last error or the manager's code
    Stopped = 3,
    FaultContained = 4,  // code: the faults contained so far
    Refused = 5,         // not loaded from the list; code: the loader's result
    LoadFailed = 6,      // its load() failed; code: the plugin's last error
};

struct PluginEventInfo {
    uint32_t event = 0;  // PluginEvent
    const char16_t* name = nullptr;
    const char16_t* file = nullptr;
    uint32_t generation = 1;
    uint32_t code = 0;
};

// Receives the events, on whichever thread the plugin's call ran; the texts
// are valid during the call only.
class IHostEvents {
  public:
    virtual void pluginEvent(const PluginEventInfo& event) = 0;

  protected:
    ~IHostEvents() = default;
};

class IHostControl : public HlmPlg::IInterface {
  public:
    // Takes a snapshot of the plugins; returns how many it holds.
    virtual uint32_t snapshot() = 0;
    // Plugin `index` of the last snapshot; false past its end.
    virtual bool plugin(uint32_t index, PluginStatus* status) = 0;
    // Reloads the configuration as HUP does and returns when the reload has
    // ended: 0, or 1 when the plugins do not run (nothing was reloaded).
    virtual uint32_t reload() = 0;
    // Runs the test step of the running plugin named `plugin` (ignoring
    // case), or of every running plugin for "all", with `argument`; each
    // result goes to `results`. Returns the number of plugins tested.
    virtual uint32_t test(const char16_t* plugin, const char16_t* argument,
                          ITestResults* results) = 0;
    // Sends the lifecycle events to `sink` from now on (null: to nobody).
    // The sink stays set after this object is released, until the core is
    // destroyed or another sink is set, so it must outlive the core; setting
    // another waits for a call into the old one to return.
    virtual void setEventSink(IHostEvents* sink) = 0;
};

}  // namespace holm::common::hostctl
