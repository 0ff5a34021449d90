// Runs of the processor fault cases: a core over a well-behaved p1 and a
// faulting p2 (libfaulting or libfaulting_nce) whose params name the fault.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

namespace holm::test {

// Runs a core over p1 (libfaulting doing nothing) and p2 (the plugin at
// `plugin`, faulting with `fault`) on a thread of its own, so that a stack
// overflow meets a bounded stack; with `mode` "seh" the command line turns
// catching off, with "bridge" the core library is the first plugin. Gives what happened, one line
// each: "REPORT <place> <code name> address=<hex> frames=<n>" per exception the service handlers
// heard, "LOG <line>" per log line, then "RUN <code> STOP <code> EXIT <host exit code> STOPREQUESTS
// <count>".
std::string driveFaultCase(const std::string& plugin, const std::string& fault,
                           const std::string& mode);

struct FaultOutcome {
    std::optional<int> exitCode;
    std::string output;
    // Whether the run came to its end (the test that ran it passed).
    bool completed = false;
    bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// A run of driveFaultCase for the case "<plugin base name>,<fault>,<mode>"
// (mode "catch", "bridge" for catching with the core library loaded as the
// legacy bridge before p1, or on Linux also "seh", "disable" for the
// DisableSEH switch, "dumpN" for catching with "createMiniDump" set to N), with
// `extraEnvironment` ("NAME=VALUE") set for it. Linux runs it in a child
// process of the test program (a fault that is not caught must end that
// process); Windows in this process, where the fault guard contains it.
FaultOutcome runFaultCase(const std::string& faultCase, const std::string& extraEnvironment = "");

// The fault cases of the Faults suite: a test plugin's base name and the
// fault with the name its report gives it.
struct FaultCase {
    const char* fault;
    const char* name;
};
class Faults : public ::testing::TestWithParam<std::tuple<const char*, FaultCase>> {};
// "lib<plugin>_<fault>".
std::string faultCaseName(const ::testing::TestParamInfo<Faults::ParamType>& info);

}  // namespace holm::test
