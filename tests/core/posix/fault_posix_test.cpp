// Processor faults on Linux: the child run each fault case happens in, a
// fault left to the system (catching declined, or on a thread without a
// guard) ending the process by its signal, and the text crash reports that
// addr2line resolves (Windows writes a minidump instead).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/support/fault_runs.h"
#include "core/support/host_harness.h"
#include "platform/process_info.h"
#include "platform/spawn.h"
#include "registry/registry.h"

namespace {

using holm::test::FaultCase;
using holm::test::FaultOutcome;
using holm::test::Faults;
using holm::test::runFaultCase;
namespace registry = holm::registry;

constexpr int kSigIll = 4;  // the default disposition ends the process with 128 + signal

void setDebugSwitch(const char16_t* name, uint32_t value) {
    const auto store = registry::Store::openDefault();
    ASSERT_TRUE(store.ok());
    const auto key =
        registry::Key::create(*store, registry::Root::LocalMachine, u"SOFTWARE\\_avdebug");
    ASSERT_TRUE(key.ok());
    ASSERT_TRUE(key->setValue(name, registry::makeDword(value)).ok());
}

// Prints every crash report in the data directory's TEMP: "DUMPFILE <name>"
// and its lines prefixed "DUMP| ".
void printCrashReports() {
    const std::filesystem::path temp = holm::test::testDataDirectory() + "TEMP";
    if (!std::filesystem::is_directory(temp)) {
        return;
    }
    for (const auto& entry : std::filesystem::directory_iterator(temp)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".dmp")) {
            continue;
        }
        std::printf("DUMPFILE %s\n", name.c_str());
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            std::printf("DUMP| %s\n", line.c_str());
        }
    }
}

// The child run of a fault case (see runFaultCase): HOLM_FAULT_CASE is
// "<plugin base name>,<fault>,<mode>". Sets the debug switch the mode asks
// for in the private registry store, prints what driveFaultCase gives and
// every crash report.
TEST(FaultInChild, Run) {
    const char* testCase = std::getenv("HOLM_FAULT_CASE");
    if (testCase == nullptr) {
        GTEST_SKIP() << "runs only as a child of the Faults tests";
    }
    std::vector<std::string> parts;
    std::istringstream in(testCase);
    for (std::string part; std::getline(in, part, ',');) {
        parts.push_back(part);
    }
    ASSERT_EQ(parts.size(), 3u);
    holm::test::coreEntry();  // sets up the private registry store
    if (parts[2] == "disable") {
        setDebugSwitch(u"DisableSEH", 1);
    } else if (parts[2].starts_with("dump")) {
        setDebugSwitch(u"createMiniDump", static_cast<uint32_t>(std::stoul(parts[2].substr(4))));
    }
    std::printf(
        "%s", holm::test::driveFaultCase(holm::test::plugin(parts[0]), parts[1], parts[2]).c_str());
    printCrashReports();
}

// A stack overflow in a plugin's start, as the other faults of the Faults
// suite. Linux-only: Wine keeps none of the stack SetThreadStackGuarantee
// reserves for the handler, so there the handler itself overflows the
// exhausted stack and Wine ends the thread.
INSTANTIATE_TEST_SUITE_P(StackOverflow, Faults,
                         ::testing::Combine(::testing::Values("faulting", "faulting_nce"),
                                            ::testing::Values(FaultCase{"stack_overflow",
                                                                        "STACK_OVERFLOW"})),
                         holm::test::faultCaseName);

// With catching declined no guard is armed: the fault takes the default
// disposition and ends the process by its signal.
TEST(FaultPolicy, SehOptionAndDisableSehSwitchLeaveTheFaultToTheSystem) {
    for (const char* mode : {"seh", "disable"}) {
        const FaultOutcome child =
            runFaultCase(std::string("faulting,illegal_instruction,") + mode);
        SCOPED_TRACE(child.output);
        EXPECT_EQ(child.exitCode, 128 + kSigIll) << mode;
        EXPECT_FALSE(child.has("REPORT")) << mode;
    }
}

TEST(FaultPolicy, FaultOnAThreadWithoutGuardEndsTheProcess) {
    const FaultOutcome child = runFaultCase("faulting,thread_fault,catch");
    SCOPED_TRACE(child.output);
    EXPECT_EQ(child.exitCode, 128 + kSigIll);
    EXPECT_FALSE(child.has("REPORT"));
}

// The "instruction:" line of a report: "<address>  <module> <offset>".
struct ReportedCode {
    std::string module;
    std::string offset;
};

std::optional<ReportedCode> faultingInstruction(const std::string& output) {
    static const std::regex line(R"(DUMP\| instruction: 0x[0-9a-f]+  (\S+) (0x[0-9a-f]+))");
    std::smatch match;
    if (!std::regex_search(output, match, line)) {
        return std::nullopt;
    }
    return ReportedCode{match[1], match[2]};
}

// With reports switched on, a fault leaves one report named after the
// program and the local time; it names the faulting plugin's library, and
// addr2line turns the offset it gives into the faulting function.
TEST(CrashReports, FaultWritesAReportThatAddr2lineResolves) {
    const FaultOutcome child = runFaultCase("faulting,access_violation,dump1");
    SCOPED_TRACE(child.output);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(child.has("REPORT CPlugin(p2)::start ACCESS_VIOLATION"));
    const std::string program =
        std::filesystem::path(holm::platform::executablePath()).stem().string();
    EXPECT_TRUE(std::regex_search(child.output,
                                  std::regex("DUMPFILE " + program + R"(_\d{8}_\d{6}\.dmp)")));
    EXPECT_TRUE(child.has("DUMP| exception: 0xc0000005 ACCESS_VIOLATION"));
    EXPECT_TRUE(child.has("DUMP| place: CPlugin(p2)::start"));
    EXPECT_TRUE(child.has("crash report "));

    const auto code = faultingInstruction(child.output);
    ASSERT_TRUE(code.has_value());
    EXPECT_TRUE(code->module.ends_with("/libfaulting.so")) << code->module;
    const std::string addr2line = "/usr/bin/addr2line";
    if (!std::filesystem::exists(addr2line)) {
        GTEST_SKIP() << "no addr2line on this machine";
    }
    const auto resolved =
        holm::platform::runProcess({addr2line, "-f", "-C", "-i", "-e", code->module, code->offset},
                                   {}, std::chrono::seconds(30));
    ASSERT_EQ(resolved.exitCode, 0) << resolved.output;
    EXPECT_TRUE(resolved.output.find("accessViolation") != std::string::npos ||
                resolved.output.find("FaultingPlugin::start") != std::string::npos)
        << resolved.output;
}

TEST(CrashReports, SwitchOtherThanOneWritesNothing) {
    const FaultOutcome child = runFaultCase("faulting,access_violation,dump2");
    SCOPED_TRACE(child.output);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(child.has("REPORT CPlugin(p2)::start ACCESS_VIOLATION"));
    EXPECT_FALSE(child.has("DUMPFILE"));
    EXPECT_FALSE(child.has("crash report "));
}

}  // namespace
