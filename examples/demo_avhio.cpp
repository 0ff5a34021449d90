// libdemo_avhio.so: a stand-in for the I/O driver bridge, a second-generation
// plugin serving "Holm/AVHIO/2.0" with its object "IAvhioRemote". It keeps
// statistics in memory; first-generation plugins read and set them through
// the core's legacy bridge (interface id 58, HlmPlg::IAVHIo).
#include <atomic>
#include <cstring>
#include <mutex>

#include "hlmplg/engine.h"
#include "hlmplg/plugin2.h"

namespace {

// What every IAvhioRemote object of the plugin shares.
struct DriverState {
    std::mutex lock;
    HlmPlg::AvhioStatistics statistics{};
    std::atomic<bool> active{false};
};

// The driver's state lives as long as the library: objects handed out may
// outlive the root that made them.
DriverState& driverState() {
    static DriverState state;
    return state;
}

class AvhioRemote final : public HlmPlg::RefCounted<HlmPlg::IAvhioRemote> {
  public:
    explicit AvhioRemote(DriverState& state) : state_(state) {}
    const char* getTypeName() override { return HlmPlg::kAvhioObjectName; }
    uint32_t getState() override { return state_.active ? 1 : 0; }
    bool setOption(uint32_t, uint32_t) override { return true; }
    uint32_t getStatistics(HlmPlg::AvhioStatistics* statistics) override {
        std::lock_guard hold(state_.lock);
        *statistics = state_.statistics;
        return 1;
    }
    uint32_t setStatistics(const HlmPlg::AvhioStatistics* statistics) override {
        using Counter = HlmPlg::AvhioStatistics::Counter;
        std::lock_guard hold(state_.lock);
        for (int counter :
             {Counter::Deleted, Counter::Repaired, Counter::Moved, Counter::Renamed}) {
            state_.statistics.counters[counter] = statistics->counters[counter];
        }
        return 1;
    }
    uint32_t isActive() override { return state_.active ? 1 : 0; }
    uint32_t control(uint32_t code, uint32_t) override { return code == 0 ? 0 : 1; }

  private:
    ~AvhioRemote() override = default;
    DriverState& state_;
};

class AvhioPlugin final : public HlmPlg::RefCounted<HlmPlg::IHolmPlugin2> {
  public:
    const char* getTypeName() override { return HlmPlg::kAvhioFactoryName; }
    uint32_t init(HlmPlg::IPluginManager2*) override {
        std::lock_guard hold(state_.lock);
        state_.statistics.counters[HlmPlg::AvhioStatistics::Files] = 42;
        const char16_t last[] = u"/srv/share/report.doc";
        std::memcpy(state_.statistics.lastFile, last, sizeof(last));
        return 0;
    }
    void uninit() override {}
    // Objects are served once the plugin started: the driver runs from then.
    uint32_t start() override {
        state_.active = true;
        return 0;
    }
    void stop() override { state_.active = false; }
    HlmPlg::IPluginObject2* createObject(const char* typeName) override {
        return std::strcmp(typeName, HlmPlg::kAvhioObjectName) == 0 ? new AvhioRemote(state_)
                                                                    : nullptr;
    }

  private:
    ~AvhioPlugin() override = default;
    DriverState& state_ = driverState();
};

}  // namespace

HLMPLG_PLUGIN_FACTORY {
    return std::strcmp(factoryName, HlmPlg::kAvhioFactoryName) == 0 ? new AvhioPlugin() : nullptr;
}
