// The core library as a plugin of both generations, and the registration of
// the second plugin manager with the core.
#include <new>

#include "core/second_generation.h"
#include "gateway/gateway.h"
#include "gateway/legacy_bridge.h"
#include "gateway/plugin_manager2.h"
#include "hlmplg/plugin.h"
#include "hlmplg/plugin2.h"

namespace holm::library {
namespace {

holm::core::SecondGeneration* processManager() {
    return holm::gateway::PluginManager2::getInstance();
}

// Runs when the library is loaded, before any core exists.
[[maybe_unused]] const bool sourceRegistered = [] {
    holm::core::setSecondGenerationSource(&processManager);
    return true;
}();

}  // namespace
}  // namespace holm::library

// The legacy bridge, loaded as a first-generation plugin; `params` is not
// used.
HLMPLG_PLUGIN_ENTRY {
    (void)params;
    return new (std::nothrow) holm::gateway::LegacyBridge(facade);
}

// The gateway "Holm/Gateway/1.0"; null for any other name.
HLMPLG_PLUGIN_FACTORY {
    return holm::gateway::gatewayFactory(factoryName);
}
