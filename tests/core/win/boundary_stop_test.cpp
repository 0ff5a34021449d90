// The real host over a plugin whose start never returns, on Windows: the
// stop request that comes from the console or the service manager (TERM, as
// Linux's signal) cannot be outlasted by the start. The test switch
// HOLM_TEST_SIGNAL_AT_START queues it at the start of main, through the
// queue the console's and the service's requests take, so it is pending
// while the start hangs.
#include <gtest/gtest.h>

#include <string>

#include "core/support/boundary_runs.h"
#include "core/support/host_harness.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace {

using holm::test::boundaryPluginList;
using holm::test::kBoundaryDeadline;

TEST(WinBoundaryReproductions, HostEndsAHangingStartWithinTheStopLimit) {
    holm::test::TempDir directory;
    const std::string data = holm::test::utf8(directory.path());
    const holm::platform::ProcessResult result = holm::platform::runProcess(
        {HOLM_AVHOLM_PROGRAM, "--stop-limit", "1", boundaryPluginList("at=start,do=hang")},
        {"HOLM_DATA_DIR=" + data + "/", "HOLM_REGISTRY_DIR=" + data + "/registry",
         "HOLM_TEST_SIGNAL_AT_START=TERM"},
        kBoundaryDeadline);
    EXPECT_EQ(result.exitCode, 8) << result.output;
    EXPECT_NE(result.output.find("the start did not finish within 1 s of the stop request"),
              std::string::npos)
        << result.output;
}

}  // namespace
