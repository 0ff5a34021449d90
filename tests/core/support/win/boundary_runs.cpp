// Windows runs each boundary case in this process: the fault guard contains
// a plugin's processor fault where it happens (a structured exception), so a
// fault that escaped it would end the test program and fail the suite.
//
// The core marks a library in which a fault was raised for the rest of the
// process (it is never unloaded and its plugin objects never destroyed), as
// a child process per case starts afresh on Linux. Each case therefore loads
// a signed copy of libhostile of its own, a module no earlier case touched.
// A copy that faulted stays loaded, so its file stays behind in the
// temporary directory.
#include "core/support/boundary_runs.h"

#include <atomic>
#include <filesystem>

#include "common/utf16.h"
#include "support/signing_support.h"
#include "support/test_support.h"

namespace holm::test {

BoundaryOutcome runBoundaryCore(const std::string& params) {
    static std::atomic<int> copies{0};
    TempDir directory;
    const std::string record = utf8(directory.path()) + "/calls.txt";
    const std::string hostile =
        utf8(directory.path()) + "/libhostile" + std::to_string(++copies) + HOLM_TEST_PLUGIN_SUFFIX;
    std::filesystem::copy_file(pathOfUtf8(plugin("hostile")), pathOfUtf8(hostile));
    signFileWith(pathOfUtf8(hostile), productSigningKey());

    setEnvironment("HOLM_TEST_PLUGIN_LOG", record);
    const BoundaryRun run = driveBoundaryCore(params, hostile);
    unsetEnvironment("HOLM_TEST_PLUGIN_LOG");
    BoundaryOutcome outcome{0, {}, boundaryLines(record)};
    for (const auto& line : run.log) {
        outcome.output += "LOG " + common::utf16ToUtf8(line) + "\n";
    }
    outcome.output +=
        "RUN " + std::to_string(run.runCode) + " STOP " + std::to_string(run.stopCode) + "\n";
    return outcome;
}

}  // namespace holm::test
