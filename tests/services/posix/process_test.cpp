#include "services/process_impl.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/io.h"
#include "platform/process_info.h"
#include "services/support/fake_sessions.h"
#include "support/test_support.h"

namespace {

using holm::services::CProcessImpl;
using holm::services::SessionManager;
namespace io = holm::platform::io;

constexpr auto kDeadline = std::chrono::seconds(30);

// Whether process `pid` is gone for good (reaped), waiting until `deadline`.
// A zombie still answers signal 0.
bool goneBy(pid_t pid, io::Deadline deadline) {
    while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return ::kill(pid, 0) == -1;
}

class ProcessTest : public ::testing::Test {
  protected:
    // This process as an interactive process of the service's own user in
    // session "7" (display ":7"), which is made the active one when `active`.
    uint32_t addOwnSession(bool active) {
        const uint32_t self = holm::platform::effectiveUserId();
        fake.addAccount(self);
        fake.addSession({"7", self, "user", false, ":7"});
        const auto pid = static_cast<uint32_t>(::getpid());
        fake.addProcess(pid, "7", self, "gnome-session-binary");
        if (active) {
            fake.active = "7";
        }
        return pid;
    }

    holm::test::FakeSessions fake;  // no active session, no processes
    SessionManager sessions{fake};
    std::vector<HlmPlg::IServiceHandler*> registered;
    holm::services::ServiceHandlerLinks links{
        [this](HlmPlg::IServiceHandler* handler) { registered.push_back(handler); },
        [this](HlmPlg::IServiceHandler* handler) { std::erase(registered, handler); }};
};

TEST_F(ProcessTest, RunWithWaitStoresTheExitCode) {
    CProcessImpl process(links, sessions);
    EXPECT_TRUE(process.run(u"/bin/sh -c \"exit 3\"", true));
    EXPECT_EQ(process.getExitCode(), 3u);
    EXPECT_FALSE(process.getProcessHandle());
    // An unbalanced quote runs to the end of the line; a bare name is found
    // in the system's program directories.
    EXPECT_TRUE(process.run(u"sh -c \"exit 4", true));
    EXPECT_EQ(process.getExitCode(), 4u);
    // A signal's end reads as a shell reports it.
    EXPECT_TRUE(process.run(u"/bin/sh -c \"kill -9 $$\"", true));
    EXPECT_EQ(process.getExitCode(), 128u + 9u);
}

TEST_F(ProcessTest, MissingOrEmptyProgramsFailAndClearTheResults) {
    CProcessImpl process(links, sessions);
    ASSERT_TRUE(process.run(u"/bin/sh -c \"exit 5\"", true));
    for (const char16_t* line : {u"/no/such/program", u"no-such-program-anywhere", u"", u"   ",
                                 u"\"\"", static_cast<const char16_t*>(nullptr)}) {
        EXPECT_FALSE(process.run(line, true));
        EXPECT_EQ(process.getExitCode(), 0u);
    }
}

// A plain run without wait keeps nothing of its process; the child is
// reaped when it ends all the same.
TEST_F(ProcessTest, RunWithoutWaitKeepsNothingAndLeavesNoZombie) {
    holm::test::TempDir dir;
    const auto pidFile = dir.path() / "pid";
    CProcessImpl process(links, sessions);
    const std::u16string command = u"/bin/sh -c \"echo $$ > " + holm::test::u16(pidFile) +
                                   u".new; mv " + holm::test::u16(pidFile) + u".new " +
                                   holm::test::u16(pidFile) + u"\"";
    ASSERT_TRUE(process.run(command.c_str(), false));
    EXPECT_FALSE(process.getProcessHandle());
    EXPECT_EQ(process.getProcessId(), 0u);
    const auto deadline = io::deadlineIn(kDeadline);
    pid_t pid = 0;
    while (pid == 0 && std::chrono::steady_clock::now() < deadline) {
        std::ifstream(pidFile) >> pid;
        std::this_thread::yield();
    }
    ASSERT_NE(pid, 0);
    EXPECT_TRUE(goneBy(pid, deadline));
}

// Without wait a session run gives the caller the id and a handle that
// becomes readable when the process ends; taking the handle leaves the
// object without one.
TEST_F(ProcessTest, SessionRunWithoutWaitHandsOutTheProcess) {
    addOwnSession(true);
    CProcessImpl process(links, sessions);
    ASSERT_TRUE(process.runInActiveSession(u"/bin/true", false));
    EXPECT_NE(process.getProcessId(), 0u);
    HlmPlg::ProcessHandle shared = process.getProcessHandle();
    ASSERT_TRUE(shared);
    HlmPlg::ProcessHandle taken = process.takeProcessHandle();
    EXPECT_EQ(taken.get(), shared.get());
    EXPECT_FALSE(process.getProcessHandle());
    EXPECT_TRUE(io::waitReadable(taken.get(), io::deadlineIn(kDeadline)).valueOr(false));
    EXPECT_TRUE(goneBy(static_cast<pid_t>(process.getProcessId()), io::deadlineIn(kDeadline)));
}

// A stopping service ends a session run's wait at once: the process, which
// ignores a termination request, is killed and reaped; the call fails and
// the exit code stays 0. Later session waits of the object give up as well;
// a plain run still waits for its process.
TEST_F(ProcessTest, StopDuringTheWaitKillsTheProcess) {
    addOwnSession(true);
    CProcessImpl process(links, sessions);
    ASSERT_EQ(registered.size(), 1u);
    auto started =
        holm::platform::Process::spawn({"/bin/sh", "-c", "trap '' TERM; exec sleep 600"}, {});
    ASSERT_TRUE(started.ok());
    const pid_t pid = started->id();
    bool result = true;
    std::thread waiter([&] { result = process.finish(std::move(*started), true, true); });
    registered[0]->onStopping();  // as the core's stop notification does
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(process.getExitCode(), 0u);
    EXPECT_TRUE(goneBy(pid, io::deadlineIn(kDeadline)));

    EXPECT_FALSE(process.runInActiveSession(u"/bin/sleep 600", true));
    EXPECT_EQ(process.getExitCode(), 0u);
    EXPECT_TRUE(process.run(u"/bin/sh -c \"exit 3\"", true));
    EXPECT_EQ(process.getExitCode(), 3u);
}

TEST_F(ProcessTest, RegistersAsServiceHandlerForItsLifetime) {
    {
        CProcessImpl process(links, sessions);
        ASSERT_EQ(registered.size(), 1u);
        EXPECT_EQ(registered[0], static_cast<HlmPlg::IServiceHandler*>(&process));
    }
    EXPECT_TRUE(registered.empty());
}

TEST_F(ProcessTest, SessionOperationsFailWithoutAnActiveSession) {
    fake.addAccount(1000);
    fake.addSession({"2", 1000, "user", false, ""});
    fake.addProcess(1001, "2", 1000, "gnome-session-binary");  // logged on, not on the console
    CProcessImpl process(links, sessions);
    EXPECT_FALSE(process.runInActiveSession(u"/bin/true", true));
    EXPECT_FALSE(process.runAsUserOfProcess(1, u"/bin/true", true));
    EXPECT_FALSE(process.runAsConsoleUser(u"/bin/true", true));
    EXPECT_EQ(process.getExitCode(), 0u);
}

// The service's own user in the active session needs no privilege: the
// session runs lead to a started process.
TEST_F(ProcessTest, SessionRunsStartTheProcessForTheSessionUser) {
    addOwnSession(true);
    CProcessImpl process(links, sessions);
    EXPECT_TRUE(process.runInActiveSession(u"/bin/sh -c \"exit 6\"", true));
    EXPECT_EQ(process.getExitCode(), 6u);
    EXPECT_TRUE(process.runAsConsoleUser(u"/bin/sh -c \"exit 7\"", true));
    EXPECT_EQ(process.getExitCode(), 7u);
    // Without wait the handle is kept; only runInActiveSession keeps the id.
    EXPECT_TRUE(process.runAsUserOfProcess(1, u"/bin/sh -c \"exit 8\"", false));
    EXPECT_TRUE(process.getProcessHandle());
    EXPECT_EQ(process.getProcessId(), 0u);
}

// A given process that qualifies is used with or without an active session,
// and the child runs in that process's session; its owner is read once.
TEST_F(ProcessTest, UserOfAQualifyingProcessGetsThatProcesssSession) {
    const uint32_t pid = addOwnSession(false);
    const char16_t* check = u"/bin/sh -c \"test $XDG_SESSION_ID/$DISPLAY = 7/:7 && exit 5\"";
    CProcessImpl process(links, sessions);
    EXPECT_TRUE(process.runAsUserOfProcess(pid, check, true));
    EXPECT_EQ(process.getExitCode(), 5u);
    EXPECT_EQ(fake.ownerReads[pid], 1);

    const uint32_t self = holm::platform::effectiveUserId();
    fake.addSession({"9", self, "user", false, ":9"});
    fake.active = "9";
    EXPECT_TRUE(process.runAsUserOfProcess(pid, check, true));
    EXPECT_EQ(process.getExitCode(), 5u);
}

// Children nobody waits for are reaped in the background, by their own
// descriptors: none is left as a zombie.
TEST_F(ProcessTest, NoZombieAfterAThousandRunsWithoutWait) {
    addOwnSession(true);
    CProcessImpl process(links, sessions);
    std::vector<pid_t> started;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(process.runInActiveSession(u"/bin/true", false)) << i;
        started.push_back(static_cast<pid_t>(process.getProcessId()));
        // Its end, awaited on the handle without polling; the reaping is
        // the reaper's.
        HlmPlg::ProcessHandle handle = process.takeProcessHandle();
        ASSERT_TRUE(io::waitReadable(handle.get(), io::deadlineIn(kDeadline)).valueOr(false)) << i;
    }
    const auto deadline = io::deadlineIn(kDeadline);
    for (pid_t pid : started) {
        ASSERT_TRUE(goneBy(pid, deadline)) << pid;
    }
}

}  // namespace
