// The host's control object of the real core library: the plugins with
// their states and failures, and the host's requests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/host_control.h"
#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace {

using holm::common::hostctl::IHostControl;
using holm::common::hostctl::PluginState;
using holm::common::hostctl::PluginStatus;
using holm::test::coreEntry;
using holm::test::CorePtr;
using holm::test::plugin;
using holm::test::RecordingHandler;

class Results final : public holm::common::hostctl::ITestResults {
  public:
    void result(const char16_t* name, bool passed) override {
        seen.push_back(std::u16string(name) + (passed ? u"=passed" : u"=failed"));
    }
    std::vector<std::u16string> seen;
};

class HostControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG",
                                   (directory_.path() / "calls.txt").c_str());
    }
    void TearDown() override {
        if (control_ != nullptr) {
            core_->releaseInterface(holm::common::hostctl::kHostControlId, control_);
        }
        core_.reset();
        holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", nullptr);
    }

    IHostControl& open(const std::string& list) {
        core_.reset(coreEntry()(holm::test::u16(list).c_str(), &handler_, nullptr));
        EXPECT_NE(core_, nullptr);
        control_ = dynamic_cast<IHostControl*>(
            core_->createInterface(holm::common::hostctl::kHostControlId));
        EXPECT_NE(control_, nullptr);
        return *control_;
    }

    // The snapshot's record of `name`.
    PluginStatus statusOf(IHostControl& control, const std::u16string& name) {
        const uint32_t count = control.snapshot();
        for (uint32_t index = 0; index < count; ++index) {
            PluginStatus status;
            EXPECT_TRUE(control.plugin(index, &status));
            if (status.name == name) {
                return status;
            }
        }
        ADD_FAILURE() << "no record of the plugin";
        return {};
    }

    holm::test::TempDir directory_;
    RecordingHandler handler_;
    CorePtr core_;
    IHostControl* control_ = nullptr;
};

// A plugin registered as the provider of the control id does not get
// between the host and the core.
TEST_F(HostControlTest, ReportsStatesFailuresAndFaultsOfEveryListedPlugin) {
    const std::string provider = std::to_string(holm::common::hostctl::kHostControlId);
    IHostControl& control =
        open("@XMLFILE:name=p1;file=" + plugin("ok") + ";params=name=p1" +  //
             "|name=p2;file=" + plugin("ok") + ";params=name=p2,provider=" + provider +
             "|name=gone;file=/nonexistent/libgone.so" +  //
             "|name=p3;file=" + plugin("throw_hlm") + ";params=name=p3");
    ASSERT_EQ(core_->run(false), 0u);

    ASSERT_EQ(control.snapshot(), 4u);
    PluginStatus status;
    EXPECT_FALSE(control.plugin(4, &status));
    EXPECT_FALSE(control.plugin(0, nullptr));

    const PluginStatus p1 = statusOf(control, u"p1");
    EXPECT_EQ(p1.state, static_cast<uint32_t>(PluginState::Started));
    EXPECT_EQ(p1.generation, 1u);
    EXPECT_EQ(std::u16string(p1.file), holm::test::u16(plugin("ok")));
    EXPECT_EQ(p1.version >> 24, 4u);
    EXPECT_GT(p1.changedAtMs, 0);
    EXPECT_EQ(p1.loadFailed + p1.startFailed + p1.faults, 0u);

    const PluginStatus gone = statusOf(control, u"gone");
    EXPECT_EQ(gone.state, static_cast<uint32_t>(PluginState::Unloaded));
    EXPECT_EQ(gone.loadFailed, 1u);
    EXPECT_EQ(gone.loadCode, 3u);

    // Its start threw with the last error 42: contained, and recorded.
    const PluginStatus p3 = statusOf(control, u"p3");
    EXPECT_EQ(p3.state, static_cast<uint32_t>(PluginState::Loaded));
    EXPECT_EQ(p3.startFailed, 1u);
    EXPECT_EQ(p3.startCode, 42u);
    EXPECT_EQ(p3.lastError, 42u);
    EXPECT_GE(p3.faults, 1u);

    Results results;
    EXPECT_EQ(control.test(u"P1", u"hello", &results), 1u);
    EXPECT_EQ(results.seen, std::vector<std::u16string>{u"p1=passed"});
    EXPECT_TRUE(handler_.logged(u"Core: PM(p1): test(hello) = true"));
    EXPECT_EQ(control.test(u"nosuch", u"", &results), 0u);
    EXPECT_EQ(control.test(u"all", nullptr, nullptr), 3u);
    EXPECT_EQ(control.reload(), 0u);

    // Once the stop began, the plugins are out of the host's reach; the
    // board keeps their last states.
    EXPECT_EQ(core_->stop(), 0u);
    EXPECT_EQ(control.reload(), 1u);
    EXPECT_EQ(control.test(u"all", u"", nullptr), 0u);
    EXPECT_EQ(statusOf(control, u"p1").state, static_cast<uint32_t>(PluginState::Unloaded));
}

// Before run has finished, requests do nothing.
TEST_F(HostControlTest, RequestsBeforeTheRunDoNothing) {
    IHostControl& control = open("@XMLFILE:name=p1;file=" + plugin("ok") + ";params=name=p1");
    EXPECT_EQ(control.snapshot(), 0u);
    EXPECT_EQ(control.reload(), 1u);
    EXPECT_EQ(control.test(u"all", u"", nullptr), 0u);
}

}  // namespace
