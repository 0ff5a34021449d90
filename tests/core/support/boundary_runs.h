// Runs of the plugin boundary cases: a core, or the real host avholm, over a
// well-behaved plugin p1 and the hostile plugin p2 (libhostile), with what
// the run printed and the calls the plugins recorded.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/support/host_harness.h"

namespace holm::test {

inline constexpr auto kBoundaryDeadline = std::chrono::seconds(120);
// Leaves the fault signals to the program (Linux's sanitizers would take them).
inline constexpr const char* kBoundarySanitizerOptions =
    "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
    "allow_user_segv_handler=1:detect_leaks=0";

struct BoundaryOutcome {
    std::optional<int> exitCode;
    std::string output;
    std::vector<std::string> calls;
    bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
    bool called(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    size_t count(const std::string& call) const {
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
    }
};

// The inline list: p1 is a well-behaved plugin, p2 the hostile one with
// `params` (from `hostile`, by default the built libhostile).
std::string boundaryPluginList(const std::string& params, const std::string& hostile = {});

// Runs a core over the list of `params` as a host with a control thread
// does: run, the test option, the command line, a control request, stop; the
// core on a thread of its own (the host's service thread). Gives the host's
// log and the two codes.
struct BoundaryRun {
    std::vector<std::u16string> log;
    uint32_t runCode = 0;
    uint32_t stopCode = 0;
};
BoundaryRun driveBoundaryCore(const std::string& params, const std::string& hostile = {});

// The lines of a text file.
std::vector<std::string> boundaryLines(const std::string& file);

// A run of driveBoundaryCore where the system contains a plugin's fault:
// its output has a line "LOG <line>" per log line and "RUN <code> STOP
// <code>", and its exit code is 0 when the run itself ended normally. Linux
// runs it in a child process of the test program (a fault that escaped
// would end it); Windows in this process, where the fault guard contains it.
BoundaryOutcome runBoundaryCore(const std::string& params);

// avholm --run-for 0 with `arguments`, with a private data directory and
// registry store.
BoundaryOutcome runBoundaryHost(const std::vector<std::string>& arguments);

}  // namespace holm::test
