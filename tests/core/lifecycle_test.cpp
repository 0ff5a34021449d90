// Plugins loaded by the real core library through getHlmCore, driven through
// run and stop. The test plugins append every call to a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/support/host_harness.h"
#include "platform/process_info.h"
#include "platform/shared_library.h"
#include "support/test_support.h"

namespace {

using holm::test::plugin;

using holm::test::coreEntry;
using holm::test::RecordingHandler;
using namespace HlmPlg;
namespace fs = std::filesystem;

using holm::test::CorePtr;

const std::string kOk = plugin("ok");

// One list entry: "name=<name>;file=<file>;params=name=<name>,<options>".
std::u16string entry(const std::string& name, const std::string& file,
                     const std::string& options = "") {
    return holm::test::u16("name=" + name + ";file=" + file + ";params=name=" + name + "," +
                           options);
}

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        recordFile_ = directory_.path() / "calls.txt";
        holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", recordFile_.c_str());
    }
    void TearDown() override {
        if (core_) {
            core_->setCommandLine(0, nullptr);  // the command line is process-wide
        }
        core_.reset();
        holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", nullptr);
    }

    IHlmCore& makeCore(const std::vector<std::u16string>& entries) {
        std::u16string list = u"@XMLFILE:";
        for (size_t i = 0; i < entries.size(); ++i) {
            list += (i == 0 ? u"" : u"|") + entries[i];
        }
        core_.reset(coreEntry()(list.c_str(), &handler_, nullptr));
        EXPECT_NE(core_, nullptr);
        return *core_;
    }

    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in(recordFile_);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    bool called(const std::string& call) const {
        for (const auto& line : calls()) {
            if (line == call) {
                return true;
            }
        }
        return false;
    }
    // The recorded calls "<plugin>:<call>" whose call is one of `kinds`, in order.
    std::vector<std::string> callsOf(const std::vector<std::string>& kinds) const {
        std::vector<std::string> selected;
        for (const auto& line : calls()) {
            const std::string call = line.substr(line.find(':') + 1);
            if (std::find(kinds.begin(), kinds.end(), call) != kinds.end()) {
                selected.push_back(line);
            }
        }
        return selected;
    }

    holm::test::TempDir directory_;
    fs::path recordFile_;
    RecordingHandler handler_;
    CorePtr core_;
};

using Calls = std::vector<std::string>;

TEST_F(Lifecycle, LoadFailureOfSecondPluginUnloadsTheFirstAndGives202) {
    IHlmCore& core =
        makeCore({entry("p1", kOk), entry("p2", plugin("fail_load")), entry("p3", kOk)});
    EXPECT_EQ(core.run(false), 202u);
    EXPECT_EQ(callsOf({"load", "start", "stop", "unload", "destructor"}),
              (Calls{"p1:load", "p2:load", "p1:unload", "p3:destructor", "p2:destructor",
                     "p1:destructor"}));
    EXPECT_TRUE(handler_.logged(u"Core: PM(p2): calling Load() ... failed"));
    EXPECT_TRUE(handler_.logged(u"Core: Stopped... (ErrCode=202)"));
    const auto statuses = handler_.statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().state, 1u);
    EXPECT_EQ(statuses.back().exitCode, 202u);
    EXPECT_EQ(statuses.back().waitHint, 5000u);
}

// p2 fails to start, so p3 is never started; stop then calls only p1's
// stop, and unloads every loaded or stopped plugin, last first.
TEST_F(Lifecycle, StopWalksBackwardsOverStartedPluginsOnly) {
    IHlmCore& core = makeCore(
        {entry("p1", kOk), entry("p2", plugin("fail_start")), entry("p3", plugin("free_records"))});
    EXPECT_EQ(core.run(false), 0u);
    EXPECT_EQ(callsOf({"start"}), (Calls{"p1:start", "p2:start"}));
    EXPECT_TRUE(handler_.logged(u"Core: PM(p1): calling Start() ... done"));
    EXPECT_TRUE(handler_.logged(u"Core: PM(p2): calling Start() ... failed"));
    EXPECT_FALSE(handler_.logged(u"PM(p3): calling Start()"));

    EXPECT_EQ(core.stop(), 0u);
    EXPECT_EQ(callsOf({"stop", "unload"}),
              (Calls{"p1:stop", "p3:unload", "p2:unload", "p1:unload"}));
    // freeHlmPlugin is used where the library exports it.
    EXPECT_EQ(callsOf({"freeHlmPlugin", "destructor"}),
              (Calls{"p3:freeHlmPlugin", "p3:destructor", "p2:destructor", "p1:destructor"}));

    int startHints = 0, stopHints = 0;
    for (const auto& status : handler_.statuses()) {
        startHints += status.state == 2 && status.waitHint == 10000;
        stopHints += status.state == 3 && status.waitHint == 10000;
    }
    EXPECT_EQ(startHints, 2);
    EXPECT_EQ(stopHints, 1);
}

// The core's stop goes on past a plugin whose stop fails: every other
// plugin is stopped and unloaded before the wrappers are destroyed. The
// failed one stays started, so it is not unloaded.
TEST_F(Lifecycle, FailingStopDoesNotLeaveOtherPluginsRunning) {
    IHlmCore& core =
        makeCore({entry("p1", kOk), entry("p2", plugin("fail_stop")), entry("p3", kOk)});
    EXPECT_EQ(core.run(true), 0u);
    EXPECT_EQ(core.stop(), 0u);
    EXPECT_EQ(callsOf({"stop", "unload"}),
              (Calls{"p3:stop", "p2:stop", "p1:stop", "p3:unload", "p1:unload"}));
    EXPECT_TRUE(handler_.logged(u"Core: PM(p2): calling Stop() ... failed"));
}

// A host that destroys the core without stop: the core stops and unloads
// what runs before it goes.
TEST_F(Lifecycle, CoreDestroyedWithoutStopStopsAndUnloadsFirst) {
    IHlmCore& core = makeCore({entry("p1", kOk), entry("p2", plugin("free_records"))});
    EXPECT_EQ(core.run(false), 0u);
    core_.reset();
    EXPECT_EQ(callsOf({"stop", "unload", "freeHlmPlugin", "destructor"}),
              (Calls{"p2:stop", "p1:stop", "p2:unload", "p1:unload", "p2:freeHlmPlugin",
                     "p2:destructor", "p1:destructor"}));
}

class ExceptionRecorder : public IServiceHandler {
  public:
    void onException(const char16_t* place, uint32_t, std::exception& exception) override {
        places.push_back(place);
        what = exception.what();
    }
    std::vector<std::u16string> places;
    std::string what;
};

TEST_F(Lifecycle, ThrowingStartFailsThatPluginAndIsReported) {
    IHlmCore& core = makeCore({entry("p1", kOk), entry("p2", plugin("throw_std"))});
    ExceptionRecorder recorder;
    core.registerServiceHandler(&recorder);
    EXPECT_EQ(core.run(false), 0u);
    EXPECT_TRUE(handler_.logged(u"Core: PM(p2): calling Start() ... failed"));
    EXPECT_EQ(core.stop(), 0u);
    EXPECT_EQ(callsOf({"stop"}), (Calls{"p1:stop"}));
    // A handler of the test's own code does not hold the plugins' library.
    EXPECT_TRUE(called("p1:destructor"));

    IInterface* service = core.createInterface(IID_SERVICE);
    if (service == nullptr) {
        GTEST_SKIP() << "no service object (id 10) to report exceptions through";
    }
    core.releaseInterface(IID_SERVICE, service);
    EXPECT_EQ(recorder.places, (std::vector<std::u16string>{u"CPlugin(p2)::start"}));
    EXPECT_EQ(recorder.what, "boom");
}

TEST_F(Lifecycle, TestOptionCallsTheNamedPlugins) {
    IHlmCore& core = makeCore({entry("p1", kOk), entry("p2", kOk, "test=false")});
    const char16_t* all[] = {u"avholm", u"/test=ALL=a=b"};
    core.setCommandLine(2, all);
    EXPECT_EQ(core.run(false), 0u);
    EXPECT_EQ(callsOf({"test:a=b"}), (Calls{"p1:test:a=b", "p2:test:a=b"}));
    EXPECT_TRUE(handler_.logged(u"Core: PM(p1): test(a=b) = true"));
    EXPECT_TRUE(handler_.logged(u"Core: PM(p2): test(a=b) = false"));
    core.stop();

    IHlmCore& second = makeCore({entry("p1", kOk), entry("p2", kOk)});
    const char16_t* one[] = {u"avholm", u"-test=P2"};
    second.setCommandLine(2, one);
    EXPECT_EQ(second.run(false), 0u);
    EXPECT_EQ(callsOf({"test:"}), (Calls{"p2:test:"}));

    const char16_t* none[] = {u"avholm", u"/test="};
    IHlmCore& third = makeCore({entry("p1", kOk)});
    third.setCommandLine(2, none);
    EXPECT_EQ(third.run(false), 0u);
    EXPECT_EQ(callsOf({"test:"}).size(), 1u);  // only the earlier call
}

TEST_F(Lifecycle, CommandLineGoesToTheFirstPluginThatTakesIt) {
    IHlmCore& core = makeCore(
        {entry("p1", kOk), entry("p2", kOk, "cmdline=take"), entry("p3", kOk, "cmdline=take")});
    EXPECT_EQ(core.run(true), 0u);
    EXPECT_TRUE(core.handleCmdLine());
    EXPECT_EQ(callsOf({"handleCmdLine"}), (Calls{"p1:handleCmdLine", "p2:handleCmdLine"}));
    EXPECT_TRUE(handler_.logged(u"Core: PM(p2): handleCmdline() = true"));
}

TEST_F(Lifecycle, EveryLoadFailureIsLoggedWithItsReason) {
    IHlmCore& core = makeCore({
        entry("unsigned", plugin("unsigned")),
        entry("tampered", plugin("tampered")),
        entry("missing", plugin("absent")),
        entry("newer", kOk, "version=05000200"),
        entry("noexport", plugin("no_export")),
        entry("declines", plugin("null_plugin")),
        entry("good", kOk),
    });
    EXPECT_EQ(core.run(true), 0u);
    const std::u16string prefix = u"Core: Unable to load plugin '";
    EXPECT_TRUE(handler_.logged(prefix + u"unsigned'. Error: Selftest failed."));
    EXPECT_TRUE(handler_.logged(prefix + u"tampered'. Error: Selftest failed."));
    EXPECT_TRUE(handler_.logged(prefix + u"missing'. Error: LoadLibrary() failed."));
    EXPECT_TRUE(handler_.logged(prefix +
                                u"newer'. Error: The version of the plugin interface is not "
                                u"compatible to the currently supported version."));
    EXPECT_TRUE(handler_.logged(prefix + u"noexport'. Error: GetProcAddress() failed."));
    EXPECT_FALSE(handler_.logged(u"declines"));
    // A refused version frees the plugin object; only "good" gets loaded.
    EXPECT_TRUE(called("newer:destructor"));
    EXPECT_EQ(callsOf({"load"}), (Calls{"good:load"}));
    EXPECT_FALSE(called("unsigned:getHlmPlugin2"));
}

// An object the plugin provides is still out when the plugin goes: its
// object and library stay, so releasing the object later still works.
TEST_F(Lifecycle, LiveInterfaceObjectKeepsTheLibraryLoaded) {
    IHlmCore& core = makeCore({entry("p1", kOk, "provider=59")});
    EXPECT_EQ(core.run(true), 0u);
    IInterface* object = core.createInterface(59);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(core.stop(), 0u);
    EXPECT_TRUE(handler_.logged(
        u"Core: PM(p1): library kept loaded: interface objects it provides are still in use"));
    EXPECT_FALSE(called("p1:destructor"));
    core.releaseInterface(59, object);
}

TEST_F(Lifecycle, ProviderEntryKeepsTheLibraryLoaded) {
    IHlmCore& core = makeCore({entry("p1", kOk, "provider=59")});
    EXPECT_EQ(core.run(true), 0u);
    EXPECT_EQ(core.stop(), 0u);
    EXPECT_TRUE(handler_.logged(
        u"Core: PM(p1): library kept loaded: it is still registered as an interface provider"));
    EXPECT_FALSE(called("p1:destructor"));
}

// A service handler from the plugin's library is still registered when the
// plugin goes (the test reaches it through its own reference to the same
// module).
TEST_F(Lifecycle, RegisteredServiceHandlerKeepsTheLibraryLoaded) {
    IHlmCore& core = makeCore({entry("p1", kOk)});
    EXPECT_EQ(core.run(true), 0u);
    auto library = holm::platform::SharedLibrary::open(kOk).valueOr({});
    ASSERT_TRUE(library.valid());
    auto handlerOf =
        reinterpret_cast<IServiceHandler* (*)()>(library.symbol("testPluginServiceHandler"));
    ASSERT_NE(handlerOf, nullptr);
    core.registerServiceHandler(handlerOf());
    EXPECT_EQ(core.stop(), 0u);
    EXPECT_TRUE(handler_.logged(
        u"Core: PM(p1): library kept loaded: a service handler of it is still registered"));
    EXPECT_FALSE(called("p1:destructor"));
}

// The pending states the core reports around each plugin's start and stop
// carry no exit code: a service manager reads a code beside a pending state
// as a failure.
TEST_F(Lifecycle, PendingHintsAroundPluginsCarryNoExitCode) {
    IHlmCore& core = makeCore({entry("p1", kOk), entry("p2", kOk)});
    EXPECT_EQ(core.run(true), 0u);
    EXPECT_EQ(core.stop(), 0u);
    int pending = 0;
    for (const auto& status : handler_.statuses()) {
        if (status.state == 2 || status.state == 3) {
            ++pending;
            EXPECT_EQ(status.exitCode, 0u) << "state " << status.state;
        }
    }
    EXPECT_GE(pending, 4) << "a start and a stop hint for each plugin";
}

TEST(EventLogName, OnlyTheServiceHostsWriteEvents) {
    using holm::core::eventLogName;
    EXPECT_EQ(eventLogName("/usr/sbin/avholm"), u"avholm.log");
    EXPECT_EQ(eventLogName("/opt/x/PlanSvc"), u"plansvc.log");
    EXPECT_EQ(eventLogName("avholm"), u"avholm.log");
    // The system's program suffix is no part of the name (avholm.exe is the
    // Windows host); on Linux a ".exe" is another program's name.
    const std::string suffix(holm::platform::programSuffix());
    EXPECT_EQ(eventLogName("C:/Program Files/Holm/avholm" + suffix), u"avholm.log");
    EXPECT_EQ(eventLogName("/opt/x/PLANSVC" + suffix), u"plansvc.log");
    if (!holm::test::onWindows()) {
        EXPECT_EQ(eventLogName("/usr/sbin/avholm.exe"), std::nullopt);
    }
    EXPECT_EQ(eventLogName("/usr/sbin/avholm.com"), std::nullopt);
    EXPECT_EQ(eventLogName("/usr/sbin/avholm/"), std::nullopt);
    EXPECT_EQ(eventLogName("/build/core_tests"), std::nullopt);
    EXPECT_EQ(eventLogName(""), std::nullopt);
}

}  // namespace
