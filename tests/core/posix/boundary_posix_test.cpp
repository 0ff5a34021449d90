// The plugin boundary on Linux: the child run each boundary case of
// boundary_test.cpp happens in, what stays mapped of a library whose entry
// point faulted (read from /proc/self/maps), and the host ended by a TERM
// signal while a plugin's start hangs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

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

// The child run of a boundary case (see runBoundaryCore): the core over the
// list of HOLM_BOUNDARY_CASE (the hostile plugin's params). Prints the
// host's log and codes, and whether the hostile plugin's library is still
// mapped after the core went.
TEST(BoundaryInChild, Run) {
    const char* params = std::getenv("HOLM_BOUNDARY_CASE");
    if (params == nullptr) {
        GTEST_SKIP() << "runs only as a child of the Boundary tests";
    }
    const holm::test::BoundaryRun run = holm::test::driveBoundaryCore(params);
    for (const auto& line : run.log) {
        std::printf("LOG %s\n", holm::common::utf16ToUtf8(line).c_str());
    }
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.ends_with("/libhostile.so")) {
            std::printf("MAPPED libhostile.so\n");
            break;
        }
    }
    std::printf("RUN %u STOP %u\n", run.runCode, run.stopCode);
}

// A plugin whose entry point faulted left frames of its library behind on
// the abandoned stack: the library stays loaded, also after the core went.
TEST(BoundaryReproductions, ALibraryWhoseEntryPointFaultedStaysLoaded) {
    const BoundaryOutcome faulted = runBoundaryCore("at=getHlmPlugin2,do=fault");
    ASSERT_EQ(faulted.exitCode, 0) << faulted.output;
    EXPECT_TRUE(faulted.has("MAPPED libhostile.so")) << faulted.output;
    const BoundaryOutcome threw = runBoundaryCore("at=getHlmPlugin2,do=throw");
    ASSERT_EQ(threw.exitCode, 0) << threw.output;
    EXPECT_FALSE(threw.has("MAPPED libhostile.so")) << "a thrown exception abandons nothing";
}

// A plugin whose start never returns cannot keep the host alive: one TERM
// ends it within the stop limit, with the code of an abandoned stop. (TERM is
// how Linux asks the host to stop; Windows asks through the console or the
// service manager: tests/core/win/boundary_stop_test.cpp.)
TEST(BoundaryReproductions, HostEndsAHangingStartWithinTheStopLimit) {
    holm::test::TempDir directory;
    auto started = holm::platform::ChildProcess::start(
        {HOLM_AVHOLM_PROGRAM, "--stop-limit", "1", boundaryPluginList("at=start,do=hang")},
        {"HOLM_DATA_DIR=" + directory.path().string() + "/",
         "HOLM_REGISTRY_DIR=" + directory.path().string() + "/registry",
         kBoundarySanitizerOptions});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ASSERT_TRUE(started->waitForOutput("hostile: hanging in start", kBoundaryDeadline))
        << started->output();
    ASSERT_TRUE(started->sendSignal(holm::platform::ChildSignal::Terminate));
    EXPECT_EQ(started->wait(kBoundaryDeadline), 8) << started->output();
    EXPECT_NE(started->output().find("the start did not finish within 1 s of the stop request"),
              std::string::npos)
        << started->output();
}

}  // namespace
