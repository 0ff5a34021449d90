// Linux runs each boundary case in a child process of the test program,
// filtered to BoundaryInChild.Run (tests/core/posix/boundary_posix_test.cpp)
// and steered by HOLM_BOUNDARY_CASE: a fault that escaped the core's guard
// would end that process, not the suite.
#include "core/support/boundary_runs.h"

#include "platform/process_info.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace holm::test {

BoundaryOutcome runBoundaryCore(const std::string& params) {
    TempDir directory;
    const std::string record = utf8(directory.path()) + "/calls.txt";
    auto result =
        platform::runProcess({platform::executablePath(), "--gtest_filter=BoundaryInChild.Run"},
                             {"HOLM_BOUNDARY_CASE=" + params, "HOLM_TEST_PLUGIN_LOG=" + record,
                              kBoundarySanitizerOptions},
                             kBoundaryDeadline);
    return {result.exitCode, result.output, boundaryLines(record)};
}

}  // namespace holm::test
