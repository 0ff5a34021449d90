// avholm.exe run as a child process against the fake core, in a product
// directory laid out per test: the stop requests Windows has instead of
// signals. The console's Ctrl+C and
// Ctrl+Break and the service manager's stop reach the host's channel as INT
// and TERM (scripts/win-service-check drives the service); here the test
// switch HOLM_TEST_SIGNAL_AT_START queues one at the start of main, through
// the same queue.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "product/support/host_fixture.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::platform::ProcessResult;
using holm::test::HostTest;
using holm::test::kHostDeadline;
using holm::test::utf8;

// A stop request ends the core's run and exits cleanly, whichever of the two
// it is.
TEST_F(HostTest, StopRequestsStopTheCoreAndExitCleanly) {
    for (const char* request : {"TERM", "INT"}) {
        fs::remove(record_);
        extraEnvironment_ = {std::string("HOLM_TEST_SIGNAL_AT_START=") + request};
        const ProcessResult result = run({"@XMLFILE:"});
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_NE(result.output.find(std::string("stopping: ") + request), std::string::npos)
            << result.output;
        EXPECT_NE(calls().find("run quick=0\nhandleCmdLine\nstop\ndestroyed\n"), std::string::npos)
            << calls();
    }
}

// A start that hangs cannot keep the host alive: the stop limit runs from the
// request, which is pending while the start hangs, and the host ends with the
// code of an abandoned stop, the core's stop never called.
TEST_F(HostTest, StopRequestDuringAHangingStartEndsTheHostWithinTheLimit) {
    extraEnvironment_ = {"HOLM_TEST_SIGNAL_AT_START=TERM"};
    const ProcessResult result = run({"--stop-limit", "1", "@XMLFILE:hangrun"});
    EXPECT_EQ(result.exitCode, 8) << result.output;
    EXPECT_NE(result.output.find("stopping: TERM (once the start has ended)"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("avholm: stop abandoned: the start did not finish within 1 s of "
                                 "the stop request; exiting at once with code 8"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(calls().find("stop\n"), std::string::npos) << calls();
}

}  // namespace
