// Linux runs each fault case in a child process of the test program,
// filtered to FaultInChild.Run (tests/core/posix/fault_posix_test.cpp) and
// steered by HOLM_FAULT_CASE; the sanitizers are told to leave the fault
// signals to the program before it starts.
#include <vector>

#include "core/support/fault_runs.h"
#include "platform/process_info.h"
#include "platform/spawn.h"

namespace holm::test {

FaultOutcome runFaultCase(const std::string& faultCase, const std::string& extraEnvironment) {
    std::vector<std::string> environment = {
        "HOLM_FAULT_CASE=" + faultCase,
        "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
        "allow_user_segv_handler=1:detect_leaks=0",
    };
    if (!extraEnvironment.empty()) {
        environment.push_back(extraEnvironment);
    }
    auto result =
        platform::runProcess({platform::executablePath(), "--gtest_filter=FaultInChild.Run"},
                             environment, std::chrono::seconds(120));
    const bool completed = result.output.find("[  PASSED  ] 1 test.") != std::string::npos;
    return {result.exitCode, result.output, completed};
}

}  // namespace holm::test
