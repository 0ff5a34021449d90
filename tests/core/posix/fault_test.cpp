// Processor faults in plugin code, through the real core library. Every
// scenario runs in a child process (this test program, filtered to
// FaultInChild.Run and steered by HOLM_FAULT_CASE): a fault that is not
// caught must end that process, and the sanitizers must be told to leave the
// fault signals to the program before it starts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "core/fault_codes.h"
#include "core/support/host_harness.h"
#include "hlmplg/fault_record.h"
#include "platform/process_info.h"
#include "platform/spawn.h"
#include "registry/registry.h"

namespace {

using holm::test::kPluginDir;

using namespace HlmPlg;
namespace registry = holm::registry;

constexpr int kSigIll = 4;  // the default disposition ends the process with 128 + signal

// Collects what the service handlers hear; the exception and its record live
// only for the report, so the facts are copied out.
class FaultRecorder : public IServiceHandler {
  public:
    void onException(const char16_t* place, uint32_t, std::exception& exception) override {
        std::ostringstream line;
        line << "REPORT " << holm::common::utf16ToUtf8(place);
        if (auto* fault = dynamic_cast<CHlmWin32Exception*>(&exception)) {
            const FaultRecord* record = fault->getExceptionPointers();
            line << ' ' << holm::common::utf16ToUtf8(fault->getCodeName());
            if (record != nullptr) {
                line << " address=" << std::hex << record->address << " frames=" << std::dec
                     << record->backtraceCount;
            }
        }
        lines.push_back(line.str());
    }
    std::vector<std::string> lines;
};

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

// HOLM_FAULT_CASE is "<plugin file>,<fault>,<mode>", mode "catch", "seh" (the
// option on the command line), "disable" (the DisableSEH switch) or "dumpN"
// (catch, with "createMiniDump" set to N). The
// plugin is p2 behind a well-behaved p1; the core runs on a thread of its
// own so that a stack overflow meets a bounded stack. Prints what happened.
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
    const auto entry = holm::test::coreEntry();  // sets up the private registry store
    if (parts[2] == "disable") {
        setDebugSwitch(u"DisableSEH", 1);
    } else if (parts[2].starts_with("dump")) {
        setDebugSwitch(u"createMiniDump", static_cast<uint32_t>(std::stoul(parts[2].substr(4))));
    }
    const std::u16string list =
        holm::common::utf8ToUtf16("@XMLFILE:name=p1;file=" + kPluginDir +
                                  "libfaulting.so;params=p1,none|name=p2;file=" + kPluginDir +
                                  parts[0] + ";params=p2," + parts[1]);

    holm::test::RecordingHandler host;
    FaultRecorder recorder;
    uint32_t runCode = 0;
    uint32_t stopCode = 0;
    std::thread driver([&] {
        std::unique_ptr<IHlmCore> core(entry(list.c_str(), &host, nullptr));
        ASSERT_NE(core, nullptr);
        if (parts[2] == "seh") {
            const char16_t* arguments[] = {u"avholm", u"/seh"};
            core->setCommandLine(2, arguments);
        }
        core->registerServiceHandler(&recorder);
        runCode = core->run(false);
        stopCode = core->stop();
    });
    driver.join();

    for (const auto& line : recorder.lines) {
        std::printf("%s\n", line.c_str());
    }
    for (const auto& line : host.logLines()) {
        std::printf("LOG %s\n", holm::common::utf16ToUtf8(line).c_str());
    }
    std::printf("RUN %u STOP %u EXIT %lld STOPREQUESTS %d\n", runCode, stopCode,
                static_cast<long long>(host.exitCode.load()), host.stopRequests.load());
    printCrashReports();
}

struct Child {
    std::optional<int> exitCode;
    std::string output;
    bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
};

Child runChild(const std::string& faultCase, const std::string& extraEnvironment = "") {
    std::vector<std::string> environment = {
        "HOLM_FAULT_CASE=" + faultCase,
        "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
        "allow_user_segv_handler=1:detect_leaks=0",
    };
    if (!extraEnvironment.empty()) {
        environment.push_back(extraEnvironment);
    }
    auto result = holm::platform::runProcess(
        {holm::platform::executablePath(), "--gtest_filter=FaultInChild.Run"}, environment,
        std::chrono::seconds(120));
    return {result.exitCode, result.output};
}

struct FaultCase {
    const char* fault;
    const char* name;
};

class Faults : public ::testing::TestWithParam<std::tuple<const char*, FaultCase>> {};

// The fault fails p2's Start and reaches the handlers by name, the host keeps
// running (the child stops its core and ends normally), and p2's library
// stays loaded because its frames were never unwound.
TEST_P(Faults, FaultInStartIsReportedAndFailsThatPluginOnly) {
    const auto& [plugin, fault] = GetParam();
    const Child child = runChild(std::string(plugin) + "," + fault.fault + ",catch");
    SCOPED_TRACE(child.output);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(child.has("[  PASSED  ] 1 test."));
    EXPECT_TRUE(child.has(std::string("REPORT CPlugin(p2)::start ") + fault.name + " "));
    EXPECT_TRUE(child.has("LOG Core: PM(p1): calling Start() ... done"));
    EXPECT_TRUE(child.has("LOG Core: PM(p2): calling Start() ... failed"));
    EXPECT_TRUE(child.has("the process state may be damaged"));
    EXPECT_TRUE(child.has("LOG Core: PM(p2): library kept loaded"));
    EXPECT_TRUE(child.has("RUN 0 STOP 0 EXIT -1 STOPREQUESTS 0"));
}

INSTANTIATE_TEST_SUITE_P(
    PluginBuilds, Faults,
    ::testing::Combine(::testing::Values("libfaulting.so", "libfaulting_nce.so"),
                       ::testing::Values(FaultCase{"access_violation", "ACCESS_VIOLATION"},
                                         FaultCase{"divide_by_zero", "INT_DIVIDE_BY_ZERO"},
                                         FaultCase{"illegal_instruction", "ILLEGAL_INSTRUCTION"},
                                         FaultCase{"stack_overflow", "STACK_OVERFLOW"})),
    [](const auto& info) {
        const std::string plugin = std::get<0>(info.param);
        return plugin.substr(0, plugin.find('.')) + "_" + std::get<1>(info.param).fault;
    });

TEST(FaultDetails, AccessViolationNamesTheAddressAccessed) {
    const Child child = runChild("libfaulting.so,access_violation,catch");
    SCOPED_TRACE(child.output);
    EXPECT_TRUE(child.has("REPORT CPlugin(p2)::start ACCESS_VIOLATION address=0 frames="));
}

TEST(FaultDetails, StopOnFaultAsksTheHostToStopWithItsCode) {
    const Child child =
        runChild("libfaulting.so,illegal_instruction,catch", "HOLM_STOP_ON_FAULT=1");
    SCOPED_TRACE(child.output);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(child.has("EXIT 70 STOPREQUESTS 1"));
}

// With catching declined no guard is armed: the fault takes the default
// disposition and ends the process by its signal.
TEST(FaultPolicy, SehOptionAndDisableSehSwitchLeaveTheFaultToTheSystem) {
    for (const char* mode : {"seh", "disable"}) {
        const Child child = runChild(std::string("libfaulting.so,illegal_instruction,") + mode);
        SCOPED_TRACE(child.output);
        EXPECT_EQ(child.exitCode, 128 + kSigIll) << mode;
        EXPECT_FALSE(child.has("REPORT")) << mode;
    }
}

TEST(FaultPolicy, FaultOnAThreadWithoutGuardEndsTheProcess) {
    const Child child = runChild("libfaulting.so,thread_fault,catch");
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
    const Child child = runChild("libfaulting.so,access_violation,dump1");
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
    const Child child = runChild("libfaulting.so,access_violation,dump2");
    SCOPED_TRACE(child.output);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(child.has("REPORT CPlugin(p2)::start ACCESS_VIOLATION"));
    EXPECT_FALSE(child.has("DUMPFILE"));
    EXPECT_FALSE(child.has("crash report "));
}

}  // namespace
