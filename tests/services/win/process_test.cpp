// The process service on Windows: system programs found by bare name, exit
// codes, a stop ending a wait, and children started without wait that
// outlive their owner.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/process_info.h"
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
