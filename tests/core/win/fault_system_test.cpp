// Processor faults on Windows that the fault guard does not contain: a
// fault left to the system (catching declined, or on a thread without a
// guard) ends the process with the fault's exception code, in a child run
// of this program; and the crash report of a real fault, a minidump of the
// faulting thread that names the fault and the plugin module it was in.
#include <windows.h>

#include <dbghelp.h>  // the dump's layout only; nothing of the library is called

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "core/support/fault_runs.h"
#include "core/support/host_harness.h"
#include "platform/process_info.h"
#include "platform/spawn.h"
#include "registry/registry.h"
#include "support/test_support.h"

namespace {

using holm::test::FaultOutcome;
using holm::test::runFaultCase;
namespace registry = holm::registry;

constexpr auto kChildDeadline = std::chrono::seconds(120);

// Sets (or with no value removes) a debug switch in this process's private
// registry store (coreEntry sets the store up).
void setDebugSwitch(const char16_t* name, std::optional<uint32_t> value) {
    holm::test::coreEntry();
    const auto store = registry::Store::openDefault();
    ASSERT_TRUE(store.ok());
    const auto key =
        registry::Key::create(*store, registry::Root::LocalMachine, u"SOFTWARE\\_avdebug");
    ASSERT_TRUE(key.ok());
    if (value) {
        ASSERT_TRUE(key->setValue(name, registry::makeDword(*value)).ok());
    } else {
        (void)key->deleteValue(name);
    }
}

// What the system does last with a fault nobody handled, told to end the
// process at once with the fault's code (no report dialog, and under Wine,
// which does not look at the error mode, no debugger started).
LONG WINAPI endTheProcess(EXCEPTION_POINTERS*) {
    return EXCEPTION_EXECUTE_HANDLER;
}

// The child run of a fault case (see childFaultCase): HOLM_FAULT_CASE is
// "<plugin base name>,<fault>,<mode>". With the system's error boxes off, as
// a service runs, the system ends a process on a fault nobody handles, with
// the fault's code as exit code.
TEST(WinFaultInChild, Run) {
    const char* testCase = std::getenv("HOLM_FAULT_CASE");
    if (testCase == nullptr) {
        GTEST_SKIP() << "runs only as a child of the fault policy tests";
    }
    std::vector<std::string> parts;
    std::istringstream in(testCase);
    for (std::string part; std::getline(in, part, ',');) {
        parts.push_back(part);
    }
    ASSERT_EQ(parts.size(), 3u);
    ::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetUnhandledExceptionFilter(endTheProcess);
    if (parts[2] == "disable") {
        setDebugSwitch(u"DisableSEH", 1);
    }
    std::printf(
        "%s", holm::test::driveFaultCase(holm::test::plugin(parts[0]), parts[1], parts[2]).c_str());
}

FaultOutcome childFaultCase(const std::string& faultCase) {
    auto result = holm::platform::runProcess(
        {holm::platform::executablePath(), "--gtest_filter=WinFaultInChild.Run"},
        {"HOLM_FAULT_CASE=" + faultCase}, kChildDeadline);
    const bool completed = result.output.find("[  PASSED  ] 1 test.") != std::string::npos;
    return {result.exitCode, result.output, completed};
}

constexpr int kIllegalInstruction = static_cast<int>(0xC000001Du);

// With catching declined no guard is armed: the fault goes past the
// vectored handler to the system, which ends the process.
TEST(WinFaultPolicy, SehOptionAndDisableSehSwitchLeaveTheFaultToTheSystem) {
    for (const char* mode : {"seh", "disable"}) {
        const FaultOutcome child =
            childFaultCase(std::string("faulting,illegal_instruction,") + mode);
        SCOPED_TRACE(child.output);
        EXPECT_EQ(child.exitCode, kIllegalInstruction) << mode;
        EXPECT_FALSE(child.has("REPORT")) << mode;
        EXPECT_FALSE(child.has("\nRUN ")) << mode;  // the run never came to its end
    }
    // The same case with catching on is contained, as the Faults suite shows.
    const FaultOutcome caught = childFaultCase("faulting,illegal_instruction,catch");
    SCOPED_TRACE(caught.output);
    EXPECT_EQ(caught.exitCode, 0);
    EXPECT_TRUE(caught.has("REPORT CPlugin(p2)::start ILLEGAL_INSTRUCTION"));
}

TEST(WinFaultPolicy, FaultOnAThreadWithoutGuardEndsTheProcess) {
    const FaultOutcome child = childFaultCase("faulting,thread_fault,catch");
    SCOPED_TRACE(child.output);
    EXPECT_EQ(child.exitCode, kIllegalInstruction);
    EXPECT_FALSE(child.has("REPORT"));
    EXPECT_FALSE(child.completed);
}

// The crash reports in the data directory's TEMP.
std::set<std::string> crashReports() {
    std::set<std::string> names;
    const std::filesystem::path temp =
        holm::test::pathOfUtf8(holm::test::testDataDirectory() + "TEMP");
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(temp, error)) {
        const std::string name = holm::test::utf8(entry.path().filename());
        if (name.ends_with(".dmp")) {
            names.insert(name);
        }
    }
    return names;
}

// What a minidump says of its fault: the exception stream and the module
// that holds the faulting instruction, read by the file format's layout.
struct DumpedFault {
    uint32_t code = 0;
    uint64_t address = 0;
    uint64_t contextRip = 0;
    uint32_t threadId = 0;
    bool threadListed = false;
    std::string module;  // the module holding `address`, lower case
};

// "MDMP" read as a little-endian 32-bit number.
constexpr ULONG32 kMinidumpSignature = 0x504d444d;

template <typename T>
const T* at(const std::string& dump, uint64_t offset, uint64_t count = 1) {
    if (offset > dump.size() || count * sizeof(T) > dump.size() - offset) {
        return nullptr;
    }
    return reinterpret_cast<const T*>(dump.data() + offset);
}

std::optional<DumpedFault> readDump(const std::string& dump) {
    const auto* header = at<MINIDUMP_HEADER>(dump, 0);
    if (header == nullptr || header->Signature != kMinidumpSignature) {
        return std::nullopt;
    }
    const auto* directory =
        at<MINIDUMP_DIRECTORY>(dump, header->StreamDirectoryRva, header->NumberOfStreams);
    if (directory == nullptr) {
        return std::nullopt;
    }
    DumpedFault fault;
    const MINIDUMP_MODULE_LIST* modules = nullptr;
    const MINIDUMP_THREAD_LIST* threads = nullptr;
    bool exception = false;
    for (ULONG32 i = 0; i < header->NumberOfStreams; ++i) {
        const auto rva = directory[i].Location.Rva;
        if (directory[i].StreamType == static_cast<ULONG32>(ExceptionStream)) {
            const auto* stream = at<MINIDUMP_EXCEPTION_STREAM>(dump, rva);
            if (stream == nullptr) {
                return std::nullopt;
            }
            fault.threadId = stream->ThreadId;
            fault.code = stream->ExceptionRecord.ExceptionCode;
            fault.address = stream->ExceptionRecord.ExceptionAddress;
            // A CONTEXT is 16-byte aligned in memory, not in the file.
            if (at<char>(dump, stream->ThreadContext.Rva, sizeof(CONTEXT)) == nullptr) {
                return std::nullopt;
            }
            std::memcpy(&fault.contextRip,
                        dump.data() + stream->ThreadContext.Rva + offsetof(CONTEXT, Rip),
                        sizeof fault.contextRip);
            exception = true;
        } else if (directory[i].StreamType == static_cast<ULONG32>(ModuleListStream)) {
            modules = at<MINIDUMP_MODULE_LIST>(dump, rva);
        } else if (directory[i].StreamType == static_cast<ULONG32>(ThreadListStream)) {
            threads = at<MINIDUMP_THREAD_LIST>(dump, rva);
        }
    }
    if (!exception || modules == nullptr || threads == nullptr) {
        return std::nullopt;
    }
    const uint64_t moduleArray = reinterpret_cast<const char*>(modules->Modules) - dump.data();
    if (at<MINIDUMP_MODULE>(dump, moduleArray, modules->NumberOfModules) == nullptr) {
        return std::nullopt;
    }
    for (ULONG32 i = 0; i < modules->NumberOfModules; ++i) {
        const MINIDUMP_MODULE& module = modules->Modules[i];
        if (fault.address < module.BaseOfImage ||
            fault.address >= module.BaseOfImage + module.SizeOfImage) {
            continue;
        }
        const auto* name = at<MINIDUMP_STRING>(dump, module.ModuleNameRva);
        if (name == nullptr || at<char16_t>(dump, module.ModuleNameRva + sizeof(ULONG32),
                                            name->Length / 2) == nullptr) {
            return std::nullopt;
        }
        std::u16string text(reinterpret_cast<const char16_t*>(name->Buffer), name->Length / 2);
        for (char16_t& unit : text) {
            if (unit >= u'A' && unit <= u'Z') {
                unit = static_cast<char16_t>(unit - u'A' + u'a');
            }
        }
        fault.module = holm::common::utf16ToUtf8(text);
    }
    const uint64_t threadArray = reinterpret_cast<const char*>(threads->Threads) - dump.data();
    if (at<MINIDUMP_THREAD>(dump, threadArray, threads->NumberOfThreads) == nullptr) {
        return std::nullopt;
    }
    for (ULONG32 i = 0; i < threads->NumberOfThreads; ++i) {
        fault.threadListed = fault.threadListed || threads->Threads[i].ThreadId == fault.threadId;
    }
    return fault;
}

// With reports switched on, a fault leaves one report named after the
// program and the local time: the system's minidump, whose exception is the
// fault at the faulting instruction of the plugin's module, on a thread the
// dump lists with its stack.
TEST(WinCrashReports, AFaultWritesAMinidumpOfTheFaultingThread) {
    const std::set<std::string> before = crashReports();
    setDebugSwitch(u"createMiniDump", 1);
    const FaultOutcome run = runFaultCase("faulting,access_violation,catch");
    setDebugSwitch(u"createMiniDump", std::nullopt);
    SCOPED_TRACE(run.output);
    EXPECT_TRUE(run.has("REPORT CPlugin(p2)::start ACCESS_VIOLATION"));
    EXPECT_TRUE(run.has("crash report "));

    std::vector<std::string> added;
    for (const std::string& name : crashReports()) {
        if (!before.contains(name)) {
            added.push_back(name);
        }
    }
    ASSERT_EQ(added.size(), 1u);
    const std::string program =
        holm::test::utf8(holm::test::pathOfUtf8(holm::platform::executablePath()).stem());
    EXPECT_TRUE(std::regex_match(added[0], std::regex(program + R"(_\d{8}_\d{6}(_\d+)?\.dmp)")))
        << added[0];

    const std::string path = holm::test::testDataDirectory() + "TEMP/" + added[0];
    const auto fault = readDump(holm::test::bytesOf(holm::test::pathOfUtf8(path)));
    ASSERT_TRUE(fault.has_value()) << "not a readable minidump: " << path;
    EXPECT_EQ(fault->code, static_cast<uint32_t>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(fault->contextRip, fault->address);
    EXPECT_TRUE(fault->threadListed);
    // p2 is a copy of libfaulting of its own (see win/fault_runs.cpp).
    EXPECT_TRUE(std::regex_search(fault->module, std::regex(R"(libfaulting_\d+\.dll$)")))
        << fault->module;
}

TEST(WinCrashReports, SwitchOtherThanOneWritesNothing) {
    const std::set<std::string> before = crashReports();
    setDebugSwitch(u"createMiniDump", 2);
    const FaultOutcome run = runFaultCase("faulting,access_violation,catch");
    setDebugSwitch(u"createMiniDump", std::nullopt);
    SCOPED_TRACE(run.output);
    EXPECT_TRUE(run.has("REPORT CPlugin(p2)::start ACCESS_VIOLATION"));
    EXPECT_FALSE(run.has("crash report "));
    EXPECT_EQ(crashReports(), before);
}

}  // namespace
