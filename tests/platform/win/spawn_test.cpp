#include "platform/spawn.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/local_event.h"
#include "platform/process_info.h"
#include "platform/sessions.h"

namespace holm::platform {
namespace {

constexpr std::chrono::seconds kSpawnDeadline(30);
const std::string kChild = HOLM_TEST_CHILD;

ProcessResult runChild(std::vector<std::string> arguments,
                       const std::vector<std::string>& environment = {}) {
    arguments.insert(arguments.begin(), kChild);
    return runProcess(arguments, environment, kSpawnDeadline);
}

// What the child's C runtime splits its command line into is what was
// given, whatever blanks, quotes and backslashes the arguments hold.
TEST(WinSpawnTest, ArgumentsArriveAsGiven) {
    const ProcessResult result =
        runChild({"echo", "a b", "", R"(say "hi")", R"(C:\dir\)", R"(a dir\)", R"(a\"b)", "x\ty"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "[a b]\n[]\n[say \"hi\"]\n[C:\\dir\\]\n[a dir\\]\n[a\\\"b]\n[x\ty]\n");
}

TEST(WinSpawnTest, ExitCodesAndStartFailuresAreReported) {
    EXPECT_EQ(runChild({"exit", "3"}).exitCode, 3);
    EXPECT_EQ(runChild({"exit", "0"}).exitCode, 0);
    const auto missing = ChildProcess::start({"C:/nonexistent/program.exe"}, {});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().errnoValue(), ENOENT);
    EXPECT_EQ(ChildProcess::start({}, {}).error().errnoValue(), EINVAL);
    SpawnOptions asRoot;
    asRoot.identity = SpawnIdentity{};
    EXPECT_EQ(Process::spawn({kChild, "exit", "0"}, asRoot).error().windowsError(), 50u);
}

// Overrides replace a variable whatever the case of its name; a cleared
// environment has only what was given.
TEST(WinSpawnTest, TheEnvironmentIsMergedByNameIgnoringCase) {
    ASSERT_TRUE(::SetEnvironmentVariableW(L"HOLM_SPAWN_PROBE", L"inherited"));
    EXPECT_EQ(runChild({"env", "HOLM_SPAWN_PROBE"}).output, "inherited\n");
    EXPECT_EQ(runChild({"env", "HOLM_SPAWN_PROBE"}, {"holm_spawn_probe=given"}).output, "given\n");
    Process process;
    {
        SpawnOptions options;
        options.clearEnvironment = true;
        options.environment = {"OTHER=1"};
        options.nullStandardStreams = true;
        auto started = Process::spawn({kChild, "env", "HOLM_SPAWN_PROBE"}, options);
        ASSERT_TRUE(started.ok()) << started.error().message();
        process = std::move(*started);
    }
    EXPECT_EQ(process.wait(io::deadlineIn(kSpawnDeadline)).valueOr(Process::Wait::TimedOut),
              Process::Wait::Exited);
    ::SetEnvironmentVariableW(L"HOLM_SPAWN_PROBE", nullptr);
}

// A handle this process made inheritable is still not handed to a child:
// it gets its standard handles only.
TEST(WinSpawnTest, TheChildGetsOnlyItsStandardHandles) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE event = ::CreateEventW(&inherit, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const auto value = std::to_string(reinterpret_cast<uintptr_t>(event));
    EXPECT_EQ(runChild({"handle", value}).exitCode, 1);
    ::CloseHandle(event);
}

TEST(WinSpawnTest, AnInterruptEndsTheWaitAndAKillEndsTheChild) {
    auto started = ChildProcess::start({kChild, "hang"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ASSERT_TRUE(started->waitForOutput("ready", kSpawnDeadline));
    EXPECT_TRUE(started->sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(started->wait(kSpawnDeadline), 128 + 15);

    SpawnOptions quiet;
    quiet.nullStandardStreams = true;
    auto process = Process::spawn({kChild, "hang"}, quiet);
    ASSERT_TRUE(process.ok()) << process.error().message();
    auto interrupt = createLocalEvent(true);
    ASSERT_TRUE(interrupt.ok());
    EXPECT_EQ(process->wait(io::kNoDeadline, interrupt->get()).valueOr(Process::Wait::Exited),
              Process::Wait::Interrupted);
    EXPECT_EQ(
        process->wait(io::deadlineIn(std::chrono::milliseconds(1))).valueOr(Process::Wait::Exited),
        Process::Wait::TimedOut);
    EXPECT_FALSE(process->poll());
    // A shared descriptor is waitable beside the owner's and outlives it.
    auto shared = process->shareDescriptor();
    ASSERT_TRUE(shared.ok());
    ASSERT_TRUE(process->kill());
    ASSERT_EQ(process->wait(io::kNoDeadline).valueOr(Process::Wait::TimedOut),
              Process::Wait::Exited);
    EXPECT_EQ(process->exitStatus()->shellCode(), 128 + 9);
    EXPECT_FALSE(process->valid());
    EXPECT_FALSE(process->kill());
    EXPECT_TRUE(io::waitReadable(shared->get(), io::kNoDeadline).valueOr(false));
}

// A child started by a process that ends is ended with it, even when its
// owner let go of it: the owner's job closes with the owner. A child started
// to outlive its owner (a program a service leaves running) is in no job of
// the owner's and keeps running: it is still there once its sibling has gone.
TEST(WinSpawnTest, ChildrenEndWithTheirOwnerUnlessStartedToOutliveIt) {
    const ProcessResult owner = runChild({"owners", kChild});
    ASSERT_EQ(owner.exitCode, 0) << owner.output;
    DWORD ended = 0;
    DWORD outliving = 0;
    ASSERT_EQ(std::sscanf(owner.output.c_str(), "%lu %lu", &ended, &outliving), 2) << owner.output;
    HANDLE survivor = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, outliving);
    ASSERT_NE(survivor, nullptr) << "the child started to outlive its owner is gone";
    if (HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, ended)) {  // else it is gone already
        EXPECT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
        ::CloseHandle(process);
    }
    EXPECT_EQ(::WaitForSingleObject(survivor, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ::TerminateProcess(survivor, 1);
    ::CloseHandle(survivor);
}

// The running processes are listed, this one and a child among them, with
// their program's name.
TEST(WinSpawnTest, RunningProcessesAreListedWithTheirImage) {
    auto started = ChildProcess::start({kChild, "hang"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ASSERT_TRUE(started->waitForOutput("ready", kSpawnDeadline));
    const std::vector<uint32_t> ids = runningProcessIds();
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_TRUE(std::binary_search(ids.begin(), ids.end(), currentProcessId()));
    const std::string self = processImageName(currentProcessId());
    EXPECT_EQ(self, "platform_tests.exe");
    EXPECT_TRUE(processUserId(currentProcessId()).has_value());
    EXPECT_EQ(processImageName(0xFFFFFFF0u), "");
    EXPECT_FALSE(processUserId(0xFFFFFFF0u).has_value());
}

}  // namespace
}  // namespace holm::platform
