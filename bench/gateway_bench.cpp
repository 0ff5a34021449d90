// A configuration object obtained and given back by either generation: the
// first-generation facade's createInterface + releaseInterface, against the
// gateway's createObject("IConfig") + release, which reaches the same facade
// through the second plugin manager, the gateway (the core library loaded as
// a second-generation plugin, as in the product) and its wrapper.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/plugin_boundary.h"
#include "core/plugin_manager.h"
#include "gateway/legacy_bridge.h"
#include "gateway/plugin_manager2.h"
#include "hlmplg/hlmplg.h"
#include "tests/support/stub_config.h"

namespace {

// A configuration object that costs nothing to make: what is measured is the
// way to it.
using CheapConfig = holm::test::StubConfig;

class ConfigProvider : public HlmPlg::CHlmPlg {
  public:
    HlmPlg::IInterface* createInterface(int32_t) override { return new CheapConfig(); }
};

// The core as the gateway sees it: its objects come from the facade on
// behalf of the core's own plugin object, as in the product's core.
class FacadeCore : public HlmPlg::IHlmCore {
  public:
    FacadeCore(HlmPlg::IHlmPlg& facade, HlmPlg::CHlmPlg& owner) : facade_(facade), owner_(owner) {}
    uint32_t getVersion() override { return HlmPlg::kFrameworkVersion; }
    HlmPlg::IInterface* createInterface(int32_t id) override {
        return facade_.createInterface(&owner_, id);
    }
    void releaseInterface(int32_t id, HlmPlg::IInterface* object) override {
        facade_.releaseInterface(&owner_, id, object);
    }
    bool handleCmdLine() override { return false; }
    uint32_t run(bool) override { return 0; }
    uint32_t stop() override { return 0; }
    const char16_t* getListAttribute(const char16_t*, const char16_t* d) override { return d; }
    void setCommandLine(int32_t, const char16_t* const*) override {}
    void registerServiceHandler(HlmPlg::IServiceHandler*) override {}
    void serviceControl(uint32_t, uint32_t, void*) override {}
    void reloadConfig() override {}

  private:
    HlmPlg::IHlmPlg& facade_;
    HlmPlg::CHlmPlg& owner_;
};

struct Setup {
    Setup() {
        facade.registerProvider(HlmPlg::IID_CONFIG, &provider);
        manager = holm::gateway::PluginManager2::create();
        holm::core::SecondGenerationContext context;
        context.core = &core;
        const std::string library = HOLM_CORE_LIBRARY;
        if (manager->initialize(
                {{u"gateway", std::u16string(library.begin(), library.end()), u"Holm/Gateway/1.0"}},
                context) != 0 ||
            manager->count() != 1) {
            std::abort();  // the comparison would be meaningless
        }
    }

    holm::core::CPluginManager facade;
    ConfigProvider provider;
    HlmPlg::CHlmPlg owner{u"bench"};
    FacadeCore core{facade, owner};
    holm::gateway::LegacyBridge bridge{nullptr};
    holm::gateway::PluginManager2* manager = nullptr;
};

Setup& setup() {
    static Setup* shared = new Setup();  // kept: benchmark threads may outlive main's frame
    return *shared;
}

void BM_FirstGenerationCreateRelease(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        HlmPlg::IInterface* config = s.facade.createInterface(&s.owner, HlmPlg::IID_CONFIG);
        benchmark::DoNotOptimize(config);
        s.facade.releaseInterface(&s.owner, HlmPlg::IID_CONFIG, config);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FirstGenerationCreateRelease)->Threads(1)->Threads(2)->UseRealTime();

void BM_GatewayCreateObjectRelease(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        HlmPlg::IPluginObject2* config = s.manager->createObject("Holm/Gateway/1.0", "IConfig");
        benchmark::DoNotOptimize(config);
        config->release();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GatewayCreateObjectRelease)->Threads(1)->Threads(2)->UseRealTime();

// The floor of the gateway's row: the first generation's create and release
// plus what the boundary itself needs per object, no more. The manager's lock
// is taken to find the plugin's record and a counted reference on it is held
// over the call (so that an unload waits for the call); the call into the
// plugin runs under one fault guard.
struct FloorRecord {
    bool available = true;
};

void BM_BoundaryFloorCreateRelease(benchmark::State& state) {
    Setup& s = setup();
    static std::mutex lock;
    static const auto record = std::make_shared<FloorRecord>();
    const holm::core::BoundaryReporting reporting;  // no service: the guard is armed
    const std::u16string place = u"floor";
    for (auto _ : state) {
        std::shared_ptr<FloorRecord> held;
        {
            std::lock_guard hold(lock);
            held = record;
        }
        HlmPlg::IInterface* config = nullptr;
        if (held->available) {
            config = holm::core::callPlugin(reporting, place, holm::core::Callee{}, [&] {
                         return s.facade.createInterface(&s.owner, HlmPlg::IID_CONFIG);
                     }).value_or(nullptr);
        }
        benchmark::DoNotOptimize(config);
        s.facade.releaseInterface(&s.owner, HlmPlg::IID_CONFIG, config);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BoundaryFloorCreateRelease)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
