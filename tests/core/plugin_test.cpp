// The plugin wrapper's version check, state changes and exception shield,
// over plugin objects of the test itself.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/plugin.h"
#include "core/support/fake_service.h"

namespace {

using holm::core::CPlugin;
using holm::test::FakeService;
using namespace HlmPlg;

// Throws from whatever `throwing` names; reports `version`.
class ThrowingPlugin : public CHlmPlg {
  public:
    ThrowingPlugin(std::string throwing, uint32_t version, bool* destroyed)
        : throwing_(std::move(throwing)), version_(version), destroyed_(destroyed) {}
    ~ThrowingPlugin() override { *destroyed_ = true; }

    uint32_t getVersion() override { return maybeThrow("getVersion"), version_; }
    bool load() override { return maybeThrow("load"), true; }
    bool unload() override { return maybeThrow("unload"), true; }
    bool start() override { return maybeThrow("start"), true; }
    bool stop() override { return maybeThrow("stop"), true; }
    bool test(const char16_t*) override { return maybeThrow("test"), true; }
    bool isInstalled(IConfig*) override { return maybeThrow("isInstalled"), true; }
    uint32_t getLastError() override { return maybeThrow("getLastError"), 7; }

  private:
    void maybeThrow(const std::string& method) {
        if (method == throwing_) {
            if (throwing_ == "stop") {
                throw CHlmWin32Exception();
            }
            throw std::runtime_error(method + " threw");
        }
    }
    std::string throwing_;
    uint32_t version_;
    bool* destroyed_;
};

struct Wrapped {
    Wrapped(IService* service, const std::string& throwing, uint32_t version = 0x04000200)
        : plugin(service, {}, u"demo", new ThrowingPlugin(throwing, version, &destroyed)) {}
    bool destroyed = false;
    CPlugin plugin;
};

TEST(CPlugin, VersionNeedsTopByteFour) {
    FakeService service;
    for (uint32_t version : {0x04000000u, 0x04FFFFFFu}) {
        EXPECT_EQ(Wrapped(&service, "", version).plugin.loadPlugin(), 0) << version;
    }
    for (uint32_t version : {0x03FFFFFFu, 0x05000000u, 0u}) {
        EXPECT_EQ(Wrapped(&service, "", version).plugin.loadPlugin(), 2) << version;
    }
    Wrapped wrapped(&service, "");
    EXPECT_EQ(wrapped.plugin.libraryName(), u"UNKNOWN.DLL");
    EXPECT_EQ(wrapped.plugin.state(), CPlugin::kUnloaded);
    wrapped.plugin.loadPlugin();
    EXPECT_EQ(wrapped.plugin.version(), 0x04000200u);
}

TEST(CPlugin, StatesFollowSuccessfulCalls) {
    Wrapped wrapped(nullptr, "");
    CPlugin& plugin = wrapped.plugin;
    EXPECT_TRUE(plugin.load());
    EXPECT_EQ(plugin.state(), CPlugin::kLoaded);
    EXPECT_TRUE(plugin.start());
    EXPECT_EQ(plugin.state(), CPlugin::kStarted);
    EXPECT_TRUE(plugin.stop());
    EXPECT_EQ(plugin.state(), CPlugin::kStopped);
    EXPECT_TRUE(plugin.unload());
    EXPECT_EQ(plugin.state(), CPlugin::kUnloaded);
}

TEST(CPlugin, ExceptionsAreReportedWithThePlaceAndFailTheCall) {
    FakeService service;
    {
        Wrapped wrapped(&service, "start");
        EXPECT_TRUE(wrapped.plugin.load());
        EXPECT_FALSE(wrapped.plugin.start());
        EXPECT_EQ(wrapped.plugin.state(), CPlugin::kLoaded);  // unchanged by the failure
        EXPECT_FALSE(wrapped.plugin.faulted());
    }
    EXPECT_EQ(Wrapped(&service, "getVersion").plugin.loadPlugin(), -1);
    EXPECT_EQ(Wrapped(&service, "getLastError").plugin.getLastError(), 0u);
    EXPECT_FALSE(Wrapped(&service, "isInstalled").plugin.isInstalled(nullptr));
    EXPECT_FALSE(Wrapped(&service, "test").plugin.test(u""));
    EXPECT_EQ(service.reportedPlaces(),
              (std::vector<std::u16string>{u"CPlugin(demo)::start", u"CPlugin(demo)::loadPlugin",
                                           u"CPlugin(demo)::getLastError",
                                           u"CPlugin(demo)::isInstalled", u"CPlugin(demo)::test"}));
    for (const auto& report : service.reports) {
        EXPECT_EQ(report.value, 0u);
    }
    EXPECT_EQ(service.reports.front().what, "start threw");
}

TEST(CPlugin, FaultMarksThePluginAsFaulted) {
    FakeService service;
    Wrapped wrapped(&service, "stop");
    EXPECT_FALSE(wrapped.plugin.stop());
    EXPECT_TRUE(wrapped.plugin.faulted());
    EXPECT_EQ(service.reportedPlaces(), (std::vector<std::u16string>{u"CPlugin(demo)::stop"}));
}

TEST(CPlugin, DecliningPolicyRethrowsAndMissingServiceJustFails) {
    FakeService service;
    service.catching = false;
    Wrapped declined(&service, "load");
    EXPECT_THROW(declined.plugin.load(), std::runtime_error);
    EXPECT_TRUE(service.reports.empty());

    Wrapped unserviced(nullptr, "unload");
    EXPECT_FALSE(unserviced.plugin.unload());
}

TEST(CPlugin, ObjectWithoutFreeFunctionGoesThroughItsDestructor) {
    bool destroyed = false;
    { CPlugin plugin(nullptr, {}, u"demo", new ThrowingPlugin("", 0x04000200, &destroyed)); }
    EXPECT_TRUE(destroyed);
}

}  // namespace
