// The process service on Windows: system programs found by bare name, exit
// codes, a stop ending a wait, children started without wait that
// outlive their owner, and the session runs, which start a program from a
// process's logon.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/process_info.h"
#include "platform/sessions.h"
#include "platform/spawn.h"
#include "services/process_impl.h"
#include "services/support/fake_sessions.h"
#include "support/test_support.h"

namespace {

using holm::services::CProcessImpl;
namespace io = holm::platform::io;

constexpr auto kProcessDeadline = std::chrono::seconds(30);
const std::string kChild = HOLM_TEST_CHILD;
// Set in the owner process the last test starts: the file its child
// writes its id to.
constexpr const char* kOwnerVariable = "HOLM_TEST_PROCESS_OWNER";

class WinProcessTest : public ::testing::Test {
  protected:
    holm::test::FakeSessions fake;
    holm::services::SessionManager sessions{fake};
    std::vector<HlmPlg::IServiceHandler*> registered;
    holm::services::ServiceHandlerLinks links{
        [this](HlmPlg::IServiceHandler* handler) { registered.push_back(handler); },
        [this](HlmPlg::IServiceHandler* handler) { std::erase(registered, handler); }};
};

// What the child's "logon" mode wrote to `file`, by name.
std::map<std::string, std::string> logonFacts(const std::filesystem::path& file) {
    std::map<std::string, std::string> facts;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            facts[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return facts;
}

// This process as the interactive process of its own user in its own
// session, as the system reports them, the user's account with its profile
// as home; the session is made the active one.
class WinSessionRunTest : public WinProcessTest {
  protected:
    void SetUp() override {
        const auto owner = holm::platform::processUserId(pid);
        ASSERT_TRUE(owner.has_value());
        uid = *owner;
        DWORD number = 0;
        ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &number));
        session = std::to_string(number);
        fake.addAccount(uid);
        auto account = holm::platform::userAccount(uid);
        ASSERT_TRUE(account.has_value());
        ASSERT_FALSE(account->home.empty());
        fake.accounts[uid] = *account;
        fake.addSession({session, uid, "user", false, ""});
        fake.addProcess(pid, session, uid, "services_tests.exe");
        fake.active = session;
        holm::test::setEnvironment("HOLM_SPAWN_PROBE", "inherited");
    }
    void TearDown() override { holm::test::unsetEnvironment("HOLM_SPAWN_PROBE"); }

    // The command line of the child's "logon" mode, writing to `file`.
    std::u16string logonLine() const {
        return u"\"" + holm::common::utf8ToUtf16(kChild) + u"\" logon \"" + holm::test::u16(file) +
               u"\"";
    }

    const uint32_t pid = holm::platform::currentProcessId();
    uint32_t uid = 0;
    std::string session;
    holm::test::TempDir dir;
    std::filesystem::path file = dir.path() / "logon.txt";
};

// As the user of a process: the child takes that process's logon, runs in
// its session with the environment the system builds for the user and in
// the user's profile directory; nothing of the service's environment.
TEST_F(WinSessionRunTest, AsTheUserOfAProcessTheChildTakesItsLogon) {
    CProcessImpl process(links, sessions);
    ASSERT_TRUE(process.runAsUserOfProcess(pid, logonLine().c_str(), true));
    EXPECT_EQ(process.getExitCode(), 0u);
    auto facts = logonFacts(file);
    const std::string home = fake.accounts[uid].home;
    EXPECT_EQ(facts["user"], std::to_string(uid));
    EXPECT_EQ(facts["session"], session);
    EXPECT_EQ(facts["directory"], home);
    EXPECT_EQ(facts["USERPROFILE"], home);
    EXPECT_EQ(facts["HOLM_SPAWN_PROBE"], "<unset>");

    // The console user is the user of the shell process found by its name.
    std::filesystem::remove(file);
    CProcessImpl console(links, sessions, u"services_tests");
    ASSERT_TRUE(console.runAsConsoleUser(logonLine().c_str(), true));
    facts = logonFacts(file);
    EXPECT_EQ(facts["user"], std::to_string(uid));
    EXPECT_EQ(facts["HOLM_SPAWN_PROBE"], "<unset>");
}

// In the active session with the service's own logon and environment;
// without wait the caller gets the process's id and handle.
TEST_F(WinSessionRunTest, InTheActiveSessionTheServiceKeepsItsOwnLogon) {
    CProcessImpl process(links, sessions);
    ASSERT_TRUE(process.runInActiveSession(logonLine().c_str(), false));
    EXPECT_NE(process.getProcessId(), 0u);
    HlmPlg::ProcessHandle handle = process.takeProcessHandle();
    ASSERT_TRUE(handle);
    ASSERT_TRUE(io::waitReadable(handle.get(), io::deadlineIn(kProcessDeadline)).valueOr(false));
    auto facts = logonFacts(file);
    EXPECT_EQ(facts["user"], std::to_string(uid));
    EXPECT_EQ(facts["session"], session);
    EXPECT_EQ(facts["HOLM_SPAWN_PROBE"], "inherited");
}

// A process that qualified when it was examined but has ended since lends
// no logon: the run fails and starts nothing.
TEST_F(WinSessionRunTest, AProcessThatEndedLendsNoLogon) {
    auto ended = holm::platform::Process::spawn({kChild, "exit", "0"}, {});
    ASSERT_TRUE(ended.ok()) << ended.error().message();
    const auto endedPid = static_cast<uint32_t>(ended->id());
    ASSERT_EQ(ended->wait(io::deadlineIn(kProcessDeadline))
                  .valueOr(holm::platform::Process::Wait::TimedOut),
              holm::platform::Process::Wait::Exited);
    fake.addProcess(endedPid, session, uid, "explorer.exe");
    CProcessImpl process(links, sessions);
    EXPECT_FALSE(process.runAsUserOfProcess(endedPid, logonLine().c_str(), true));
    EXPECT_EQ(process.getExitCode(), 0u);
    EXPECT_FALSE(process.getProcessHandle());
    EXPECT_FALSE(std::filesystem::exists(file));
}

// Whether the process `pid` is gone, or another program has its id by now.
bool childGone(uint32_t pid) {
    return holm::platform::processImageName(pid) != kChild.substr(kChild.rfind('/') + 1);
}

TEST_F(WinProcessTest, SystemProgramsAreFoundByBareNameAndTheirExitCodeKept) {
    const std::string system = holm::platform::systemDirectory();
    EXPECT_EQ(holm::platform::findProgram("cmd"), system + "cmd.exe");
    EXPECT_EQ(holm::platform::findProgram("cmd.exe"), system + "cmd.exe");
    // The running program's own directory comes first.
    const std::string self = holm::platform::executablePath();
    const std::string ownName = self.substr(self.rfind('/') + 1);
    EXPECT_EQ(holm::platform::findProgram(ownName), self);
    EXPECT_EQ(holm::platform::findProgram("C:\\no\\such.exe"), "C:\\no\\such.exe");
    EXPECT_EQ(holm::platform::findProgram("no-such-program-anywhere"), "");

    CProcessImpl process(links, sessions);
    EXPECT_TRUE(process.run(u"cmd.exe /c exit 3", true));
    EXPECT_EQ(process.getExitCode(), 3u);
    EXPECT_FALSE(process.getProcessHandle());
    EXPECT_TRUE(process.run(u"cmd /c \"exit 4", true));  // an unbalanced quote ends the line
    EXPECT_EQ(process.getExitCode(), 4u);
    // The arguments reach the program as written: the command interpreter
    // keeps the quotes and redirects the output.
    holm::test::TempDir dir;
    const std::string output = (dir.path() / "echoed.txt").string();
    const std::u16string echo = u"cmd /c echo \"two  spaces\">" + holm::common::utf8ToUtf16(output);
    EXPECT_TRUE(process.run(echo.c_str(), true));
    EXPECT_EQ(process.getExitCode(), 0u);
    EXPECT_EQ(holm::test::bytesOf(output), "\"two  spaces\"\r\n");
    for (const char16_t* line : {u"C:\\no\\such\\program.exe", u"no-such-program-anywhere", u"",
                                 u"   ", static_cast<const char16_t*>(nullptr)}) {
        EXPECT_FALSE(process.run(line, true));
        EXPECT_EQ(process.getExitCode(), 0u);
    }
}

// A stopping service ends a session wait at once: the child, which would
// wait for ever, is ended, and the call fails with the exit code left at 0.
// A process handed out without wait becomes readable when it ends.
TEST_F(WinProcessTest, StopDuringTheWaitEndsTheProcess) {
    CProcessImpl process(links, sessions);
    ASSERT_EQ(registered.size(), 1u);
    auto started = holm::platform::Process::spawn({kChild, "hang"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    const auto pid = static_cast<uint32_t>(started->id());
    bool result = true;
    std::thread waiter([&] { result = process.finish(std::move(*started), true, true); });
    registered[0]->onStopping();
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(process.getExitCode(), 0u);
    EXPECT_TRUE(holm::test::eventually([&] { return childGone(pid); }));

    auto quick = holm::platform::Process::spawn({kChild, "exit", "0"}, {});
    ASSERT_TRUE(quick.ok()) << quick.error().message();
    EXPECT_TRUE(process.finish(std::move(*quick), false, true));
    EXPECT_NE(process.getProcessId(), 0u);
    HlmPlg::ProcessHandle handle = process.takeProcessHandle();
    ASSERT_TRUE(handle);
    EXPECT_TRUE(io::waitReadable(handle.get(), io::deadlineIn(kProcessDeadline)).valueOr(false));
}

// A child started without wait is left to itself, also beyond its owner, as
// on the other systems: it is in no job of the owner's. A child the owner
// started for itself and let go ends with the owner (its job), which shows
// that the owner's end has been dealt with. The owner is this program
// again, running only this test with the variable set.
TEST_F(WinProcessTest, AChildStartedWithoutWaitOutlivesItsOwner) {
    if (const char* idFile = std::getenv(kOwnerVariable)) {
        const std::string ownFile = std::string(idFile) + ".own";
        auto own = holm::platform::Process::spawn({kChild, "hang-as", ownFile}, {});
        ASSERT_TRUE(own.ok()) << own.error().message();
        own->detach();
        CProcessImpl process(links, sessions);
        const std::u16string line = u"\"" + holm::common::utf8ToUtf16(kChild) + u"\" hang-as \"" +
                                    holm::common::utf8ToUtf16(idFile) + u"\"";
        ASSERT_TRUE(process.run(line.c_str(), false));
        ASSERT_TRUE(holm::test::eventually([&] {
            return !holm::test::bytesOf(idFile).empty() && !holm::test::bytesOf(ownFile).empty();
        }));
        return;  // the owner ends here, both children still running
    }
    holm::test::TempDir dir;
    const std::string idFile = (dir.path() / "child.id").string();
    // The owner's output goes nowhere: the child that outlives it would
    // hold a pipe open.
    holm::platform::SpawnOptions quiet;
    quiet.nullStandardStreams = true;
    quiet.environment = {std::string(kOwnerVariable) + "=" + idFile};
    auto owner = holm::platform::Process::spawn(
        {holm::platform::executablePath(),
         "--gtest_filter=WinProcessTest.AChildStartedWithoutWaitOutlivesItsOwner"},
        quiet);
    ASSERT_TRUE(owner.ok()) << owner.error().message();
    ASSERT_EQ(owner->wait(io::deadlineIn(kProcessDeadline))
                  .valueOr(holm::platform::Process::Wait::TimedOut),
              holm::platform::Process::Wait::Exited);
    EXPECT_EQ(owner->exitStatus()->code, 0);
    uint32_t pid = 0;
    uint32_t ownPid = 0;
    std::ifstream(idFile) >> pid;
    std::ifstream(idFile + ".own") >> ownPid;
    ASSERT_NE(pid, 0u);
    ASSERT_NE(ownPid, 0u);
    HANDLE survivor = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(survivor, nullptr) << "the child started without wait is gone";
    EXPECT_TRUE(holm::test::eventually([&] { return childGone(ownPid); }));
    EXPECT_EQ(::WaitForSingleObject(survivor, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ::TerminateProcess(survivor, 1);
    ::CloseHandle(survivor);
}

}  // namespace
