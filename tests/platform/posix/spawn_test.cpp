#include "platform/spawn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sessions.h"
#include "support/io_faults.h"

namespace holm::platform {
namespace {

constexpr std::chrono::seconds kSpawnDeadline(30);

TEST(SpawnTest, ReportsOutputAndExitCodeEvenWhenReadsAreInterrupted) {
    holm::test::InjectedFaults faults;
    faults.interruptEveryCall();
    const ProcessResult result =
        runProcess({"/bin/sh", "-c", "echo first; echo second >&2; exit 3"}, {}, kSpawnDeadline);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.output, "first\nsecond\n");
}

TEST(SpawnTest, AChildThatOutlivesItsOutputIsKilledAtTheDeadline) {
    auto started =
        ChildProcess::start({"/bin/sh", "-c", "exec >/dev/null 2>&1; exec sleep 600"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ChildProcess& child = *started;
    EXPECT_EQ(child.wait(std::chrono::milliseconds(20)), std::nullopt);
    EXPECT_FALSE(child.valid());
}

TEST(SpawnTest, AProgramThatCannotStartSaysWhy) {
    const auto started = ChildProcess::start({"/nonexistent/program"}, {});
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().errnoValue(), ENOENT);
    EXPECT_EQ(ChildProcess::start({}, {}).error().errnoValue(), EINVAL);
}

TEST(SpawnTest, ASignalEndingTheChildIsReported) {
    auto started = ChildProcess::start({"/bin/sh", "-c", "echo up; exec sleep 600"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ChildProcess& child = *started;
    ASSERT_TRUE(child.waitForOutput("up", kSpawnDeadline));
    ASSERT_TRUE(child.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(child.wait(kSpawnDeadline), 128 + 15);
}

SpawnOptions quiet() {
    SpawnOptions options;
    options.nullStandardStreams = true;
    return options;
}

Process spawnOrFail(const std::vector<std::string>& argv, const SpawnOptions& options = {}) {
    auto process = Process::spawn(argv, options);
    EXPECT_TRUE(process.ok()) << process.error().message();
    return process ? std::move(*process) : Process();
}

TEST(ProcessTest, WaitsForTheExitCode) {
    Process process = spawnOrFail({"/bin/sh", "-c", "exit 3"}, quiet());
    ASSERT_EQ(process.wait(io::deadlineIn(kSpawnDeadline)).valueOr(Process::Wait::TimedOut),
              Process::Wait::Exited);
    ASSERT_TRUE(process.exitStatus());
    EXPECT_FALSE(process.exitStatus()->signalled);
    EXPECT_EQ(process.exitStatus()->code, 3);
    EXPECT_FALSE(process.valid());
    EXPECT_FALSE(process.kill());  // reaped: nothing is left to signal
    EXPECT_EQ(Process::spawn({"/nonexistent/program"}).error().errnoValue(), ENOENT);
}

TEST(ProcessTest, TheChildGetsOnlyItsStandardStreams) {
    const int fd = ::open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
    ASSERT_GE(fd, 3);
    const std::string probe = "test -e /proc/self/fd/" + std::to_string(fd);
    Process process = spawnOrFail({"/bin/sh", "-c", probe}, quiet());
    ASSERT_EQ(process.wait(io::kNoDeadline).valueOr(Process::Wait::TimedOut),
              Process::Wait::Exited);
    EXPECT_EQ(process.exitStatus()->code, 1);
    ::close(fd);
}

TEST(ProcessTest, AnInterruptEndsTheWaitAndAKillEndsTheChild) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    Process process = spawnOrFail({"/bin/sleep", "600"}, quiet());
    ASSERT_EQ(::write(writeEnd.get(), "x", 1), 1);
    EXPECT_EQ(process.wait(io::kNoDeadline, readEnd.get()).valueOr(Process::Wait::Exited),
              Process::Wait::Interrupted);
    EXPECT_FALSE(process.poll());
    ASSERT_TRUE(process.kill());
    ASSERT_EQ(process.wait(io::kNoDeadline).valueOr(Process::Wait::TimedOut),
              Process::Wait::Exited);
    EXPECT_TRUE(process.exitStatus()->signalled);
    EXPECT_EQ(process.exitStatus()->code, SIGKILL);
}

// A child told its login session gets the session's id and display over
// the ones it would inherit; a session without a display adds none. With a
// login environment it gets that and nothing of this process's.
TEST(ProcessTest, TheSessionReachesTheChildThroughItsEnvironment) {
    // This process's own values, put back at the end.
    struct Saved {
        std::string name;
        std::optional<std::string> value;
        ~Saved() { value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str()); }
    };
    const auto save = [](const char* name) {
        const char* value = ::getenv(name);
        return Saved{name, value != nullptr ? std::optional<std::string>(value) : std::nullopt};
    };
    const Saved session = save("XDG_SESSION_ID");
    const Saved display = save("DISPLAY");
    ::setenv("XDG_SESSION_ID", "inherited", 1);
    ::setenv("DISPLAY", ":99", 1);
    SpawnOptions options = quiet();
    options.session = LoginSession{"7", 1000, "user", false, ":7"};
    Process told =
        spawnOrFail({"/bin/sh", "-c", "test \"$XDG_SESSION_ID/$DISPLAY\" = 7/:7"}, options);
    options.session->display.clear();
    Process noDisplay =
        spawnOrFail({"/bin/sh", "-c", "test \"$XDG_SESSION_ID/$DISPLAY\" = 7/:99"}, options);

    UserAccount account;
    account.uid = 1234;
    account.name = "someone";
    account.home = "/";
    account.shell = "/bin/sh";
    auto environment = loginEnvironment(0, account);
    ASSERT_TRUE(environment.ok());
    options.clearEnvironment = true;
    options.environment = *environment;
    Process fresh = spawnOrFail(
        {"/bin/sh", "-c",
         "test \"$HOME/$USER/$LOGNAME/$SHELL/$XDG_RUNTIME_DIR/$XDG_SESSION_ID/$DISPLAY\" = "
         "//someone/someone//bin/sh//run/user/1234/7/ && test \"$PATH\" = "
         "/usr/local/bin:/usr/bin:/bin"},
        options);
    for (Process* process : {&told, &noDisplay, &fresh}) {
        ASSERT_EQ(process->wait(io::deadlineIn(kSpawnDeadline)).valueOr(Process::Wait::TimedOut),
                  Process::Wait::Exited);
        EXPECT_EQ(process->exitStatus()->code, 0);
    }
}

// A process's owner is read while a process descriptor pins the process: a
// child that has been reaped has none.
TEST(ProcessTest, OwnerIsReadOnlyFromALiveProcess) {
    const auto own = processOwner(static_cast<uint32_t>(::getpid()));
    ASSERT_TRUE(own);
    EXPECT_EQ(own->uid, static_cast<uint32_t>(::getuid()));
    Process process = spawnOrFail({"/bin/true"}, quiet());
    const auto pid = static_cast<uint32_t>(process.id());
    ASSERT_EQ(process.wait(io::deadlineIn(kSpawnDeadline)).valueOr(Process::Wait::TimedOut),
              Process::Wait::Exited);
    EXPECT_FALSE(processOwner(pid));
    EXPECT_FALSE(processOwner(0));
}

TEST(ProcessTest, AChildNobodyWaitsForIsReapedWhenItEnds) {
    Process process = spawnOrFail({"/bin/sleep", "600"}, quiet());
    const pid_t pid = process.id();
    process.detach();
    EXPECT_FALSE(process.valid());
    ASSERT_EQ(::kill(pid, SIGKILL), 0);  // still unreaped: the id is still the child's
    // A zombie still answers signal 0; a reaped child no longer exists.
    const auto deadline = io::deadlineIn(kSpawnDeadline);
    while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(::kill(pid, 0), -1);
}

size_t threadsOfThisProcess() {
    size_t threads = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++threads;
    }
    return threads;
}

// One reaper thread serves every child handed over, however many: a thread
// per child would stay for the life of the process. The children live until
// the end of the test, so each one is handed to the reaper (a child that has
// ended already is reaped at once instead).
TEST(ProcessTest, ChildrenNobodyWaitsForShareOneReaperThread) {
    std::vector<pid_t> children;
    auto handOver = [&] {
        Process process = spawnOrFail({"/bin/sleep", "600"}, quiet());
        children.push_back(process.id());
        process.detach();
    };
    handOver();  // the reaper runs from here on
    const size_t before = threadsOfThisProcess();
    for (int i = 0; i < 20; ++i) {
        handOver();
    }
    EXPECT_LE(threadsOfThisProcess(), before);
    for (const pid_t child : children) {
        ::kill(child, SIGKILL);
    }
}

}  // namespace
}  // namespace holm::platform
