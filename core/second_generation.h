// The core's view of the second plugin generation. The first generation
// never includes the gateway: the core library registers the gateway's
// manager here, and the core drives it through this interface at the points
// of its run and stop sequences. Without a registered source (a core built
// without the gateway, as in most tests) the core has no second generation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/plugin_boundary.h"
#include "core/plugin_list.h"
#include "core/plugin_status.h"
#include "hlmplg/core.h"

namespace holm::core {

// What the manager is given at its initialisation.
struct SecondGenerationContext {
    HlmPlg::IHlmCore* core = nullptr;
    // Where calls into second-generation plugins report.
    BoundaryReporting reporting;
    std::u16string productDirectory;
    // Writes an event line to the operator's event log of the core.
    std::function<void(const EventLine&)> reportEvent;
    // Hears of the plugins' states and failures (generation 2); may be null.
    PluginStatusBoard* board = nullptr;
};

class SecondGeneration {
  public:
    // Loads the "plugins2" entries in order; 0, or 8 when the legacy bridge
    // does not exist (nothing is loaded then).
    virtual uint32_t initialize(const std::vector<PluginListEntry>& entries,
                                SecondGenerationContext context) = 0;
    virtual void start(bool quick) = 0;
    virtual void stop() = 0;
    virtual void unload() = 0;
    // Gives up the reference the core holds.
    virtual void releaseReference() = 0;

  protected:
    ~SecondGeneration() = default;
};

struct SecondGenerationRelease {
    void operator()(SecondGeneration* manager) const { manager->releaseReference(); }
};
using SecondGenerationRef = std::unique_ptr<SecondGeneration, SecondGenerationRelease>;

// Gives a new reference to the process-wide manager (null when there is
// none).
using SecondGenerationSource = SecondGeneration* (*)();

void setSecondGenerationSource(SecondGenerationSource source);
// A reference to the manager, or null without a registered source.
SecondGenerationRef obtainSecondGeneration();

}  // namespace holm::core
