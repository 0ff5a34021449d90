// The plugin boundary, end to end: a plugin that throws or faults in each
// kind of call into its code (libhostile), run through the real core (see
// runBoundaryCore for where) and through the real avholm. Each case must fail
// only that call, report it under its place name, keep the host running and
// stop and unload every other plugin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "core/support/boundary_runs.h"
#include "core/support/host_harness.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace {

using holm::test::BoundaryOutcome;
using holm::test::boundaryPluginList;
using holm::test::kBoundaryDeadline;
using holm::test::kBoundarySanitizerOptions;
using holm::test::runBoundaryCore;
using holm::test::runBoundaryHost;

struct BoundaryCase {
    const char* at;
    const char* action;
    // The place the failure is reported under.
    const char* place;
    // Whether avholm reaches the call too (it sends no control requests).
    bool throughHost = true;
};

// Names the case in test output (instead of its bytes).
void PrintTo(const BoundaryCase& testCase, std::ostream* out) {
    *out << testCase.at << "/" << testCase.action;
}

std::string detailOf(const std::string& action) {
    if (action == "fault") {
        return ": processor fault ACCESS_VIOLATION";
    }
    if (action == "divide") {
        return ": processor fault INT_DIVIDE_BY_ZERO";
    }
    if (action == "foreign") {
        return ": exception: non-standard exception";
    }
    if (action == "reenter") {
        return " of an unknown object";  // "PM: releaseInterface of an unknown object"
    }
    return ": exception: hostile";
}

// What every case leaves behind: the report, and p1 stopped (unless the
// Load phase failed, which stops nothing that started) and unloaded.
void expectContained(const BoundaryOutcome& outcome, const BoundaryCase& testCase) {
    SCOPED_TRACE(outcome.output);
    EXPECT_TRUE(outcome.has(std::string(testCase.place) + detailOf(testCase.action)));
    const bool loadFailed = std::string(testCase.at) == "load";
    EXPECT_EQ(outcome.called("p1:stop"), !loadFailed);
    EXPECT_TRUE(outcome.called("p1:unload"));
    EXPECT_TRUE(outcome.called("p1:destructor"));
    // The owned handler went once, or never when the plugin never loaded.
    EXPECT_LE(outcome.count("p2:handlerDestructor"), 1u);
}

class Boundary : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(Boundary, CallFailsIsReportedAndEveryOtherPluginStops) {
    const BoundaryCase& testCase = GetParam();
    const std::string params = std::string("at=") + testCase.at + ",do=" + testCase.action;
    const bool loadFailed = std::string(testCase.at) == "load";

    const BoundaryOutcome child = runBoundaryCore(params);
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_TRUE(child.has(loadFailed ? "RUN 202 STOP 0" : "RUN 0 STOP 0")) << child.output;
    expectContained(child, testCase);

    if (!testCase.throughHost) {
        return;
    }
    const BoundaryOutcome host = runBoundaryHost({boundaryPluginList(params), "/test=all=x"});
    EXPECT_EQ(host.exitCode, loadFailed ? 202 : 0) << host.output;
    expectContained(host, testCase);
}

std::string caseName(const ::testing::TestParamInfo<BoundaryCase>& info) {
    return std::string(info.param.at) + "_" + info.param.action;
}

// Entry points, the plugin object and its destruction.
INSTANTIATE_TEST_SUITE_P(
    PluginCalls, Boundary,
    ::testing::Values(BoundaryCase{"getHlmPlugin2", "throw", "CPlugin(p2)::getHlmPlugin2"},
                      BoundaryCase{"getHlmPlugin2", "fault", "CPlugin(p2)::getHlmPlugin2"},
                      BoundaryCase{"load", "fault", "CPlugin(p2)::load"},
                      BoundaryCase{"start", "foreign", "CPlugin(p2)::start"},
                      BoundaryCase{"stop", "divide", "CPlugin(p2)::stop"},
                      BoundaryCase{"unload", "throw", "CPlugin(p2)::unload"},
                      BoundaryCase{"handleCmdLine", "fault", "CPlugin(p2)::handleCmdLine"},
                      BoundaryCase{"test", "throw", "CPlugin(p2)::test"},
                      BoundaryCase{"destructor", "fault", "CPlugin(p2)::freeHlmPlugin"},
                      BoundaryCase{"freeHlmPlugin", "throw", "CPlugin(p2)::freeHlmPlugin"},
                      BoundaryCase{"handlerDestructor", "fault", "IHandler::~IHandler"}),
    caseName);

// Handler callbacks and provider calls.
INSTANTIATE_TEST_SUITE_P(
    Callbacks, Boundary,
    ::testing::Values(BoundaryCase{"onRunning", "throw", "IServiceHandler::onRunning"},
                      BoundaryCase{"onRunning", "fault", "IServiceHandler::onRunning"},
                      BoundaryCase{"onStopping", "throw", "IServiceHandler::onStopping"},
                      BoundaryCase{"onStopping", "fault", "IServiceHandler::onStopping"},
                      BoundaryCase{"onControl", "throw", "IServiceHandler::onControl", false},
                      BoundaryCase{"onControl", "divide", "IServiceHandler::onControl", false},
                      BoundaryCase{"onMessage", "fault", "IServiceHandler::onMessage"},
                      BoundaryCase{"onSelftestFailed", "throw",
                                   "IServiceHandler::onSelftestFailed"},
                      BoundaryCase{"onException", "throw", "IServiceHandler::onException"},
                      BoundaryCase{"onException", "fault", "IServiceHandler::onException"},
                      BoundaryCase{"createInterface", "fault", "CHlmPlg::createInterface"},
                      BoundaryCase{"releaseInterface", "fault", "CHlmPlg::releaseInterface"},
                      // A provider's exception goes on to the plugin that asked, as the
                      // facade promises; that plugin's start fails and is reported.
                      BoundaryCase{"createInterface", "throw", "CPlugin(p2)::start"}),
    caseName);

// Calls back into the core from inside its calls: declaring, releasing twice
// and a foreign pointer (ignored with a log line), registering and
// unregistering a handler during a broadcast, also from the stop threads.
INSTANTIATE_TEST_SUITE_P(
    Reentry, Boundary,
    ::testing::Values(BoundaryCase{"start", "reenter", "PM: releaseInterface"},
                      BoundaryCase{"stop", "reenter", "PM: releaseInterface"},
                      BoundaryCase{"onRunning", "reenter", "PM: releaseInterface"},
                      BoundaryCase{"onStopping", "reenter", "PM: releaseInterface"},
                      BoundaryCase{"onControl", "reenter", "PM: releaseInterface", false},
                      BoundaryCase{"onMessage", "reenter", "PM: releaseInterface"},
                      BoundaryCase{"onException", "reenter", "PM: releaseInterface"}),
    caseName);

// The service example's pattern (IService with an owned handler) plus a
// required id without a provider: Start fails after the base start acquired
// the service and registered the handler. What it acquired is given back at
// once, the handler is unregistered before it is destroyed, and stop and
// every later broadcast find nothing of it.
TEST(BoundaryReproductions, FailedStartAfterAcquiringLeavesNothingRegistered) {
    const BoundaryOutcome child = runBoundaryCore("requires=20");
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_TRUE(child.has("PM(p2): calling Start() ... failed")) << child.output;
    EXPECT_TRUE(child.has("RUN 0 STOP 0")) << child.output;
    EXPECT_EQ(child.count("p2:handlerDestructor"), 1u);
    EXPECT_TRUE(child.called("p2:destructor"));
    EXPECT_TRUE(child.called("p1:stop"));

    const BoundaryOutcome host = runBoundaryHost({boundaryPluginList("requires=20")});
    EXPECT_EQ(host.exitCode, 0) << host.output;
    EXPECT_EQ(host.count("p2:handlerDestructor"), 1u);
    EXPECT_TRUE(host.called("p1:destructor"));
}

// The lifecycle's events in the host's report log after a run in which one
// plugin cannot be loaded and another fails its start.
TEST(BoundaryReproductions, LifecycleEventsAreInTheHostsReportLog) {
    holm::test::TempDir directory;
    const std::string base = holm::test::utf8(directory.path());
    std::filesystem::create_directory(directory.path() / "LOGFILES");
    directory.write("holm.conf", "[HOLM]\nReportingLevel = 2\n");
    const std::string list = boundaryPluginList("requires=20") +
                             "|name=p3;file=" + holm::test::plugin("missing") + ";params=name=p3";
    const auto result = holm::platform::runProcess(
        {HOLM_AVHOLM_PROGRAM, "--run-for", "0", list},
        {"HOLM_DATA_DIR=" + base + "/", "HOLM_REGISTRY_DIR=" + base + "/registry",
         kBoundarySanitizerOptions},
        kBoundaryDeadline);
    ASSERT_TRUE(result.exitCode.has_value()) << result.output;

    std::ifstream in(directory.path() / "LOGFILES" / "avholm.log", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string content = bytes.str();
    ASSERT_TRUE(content.starts_with("\xFF\xFE")) << result.output;
    std::u16string text;
    for (size_t i = 2; i + 1 < content.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(content[i]) |
                                             static_cast<uint8_t>(content[i + 1]) << 8));
    }
    const std::string log = holm::common::utf16ToUtf8(text);
    EXPECT_NE(log.find("[ERROR] Plugin " + holm::test::plugin("missing") + " could not be loaded"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[INFO] Plugin p1 has been started successfully!"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[ERROR] Plugin p2 could not be started"), std::string::npos) << log;
    EXPECT_NE(log.find("[INFO] Plugin p1 has been stopped successfully!"), std::string::npos)
        << log;
}

// The command line reaches the plugins once they run: a plugin that takes it
// ends the host with the code it chose.
TEST(BoundaryReproductions, HostHandsTheCommandLineToRunningPlugins) {
    const std::string list = "@XMLFILE:name=p1;file=" + holm::test::plugin("ok") +
                             ";params=name=p1,cmdline=take,cmdexit=12";
    const BoundaryOutcome host = runBoundaryHost({list, "/once"});
    EXPECT_EQ(host.exitCode, 12) << host.output;
    EXPECT_TRUE(host.has("stopping: a plugin handled the command line")) << host.output;
    const std::vector<std::string> expected{"p1:load", "p1:start", "p1:handleCmdLine", "p1:stop"};
    std::vector<std::string> seen;
    for (const auto& call : host.calls) {
        if (std::find(expected.begin(), expected.end(), call) != expected.end()) {
            seen.push_back(call);
        }
    }
    EXPECT_EQ(seen, expected);
}

}  // namespace
