#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/crash_dump.h"
#include "platform/service.h"
#include "platform/sessions.h"
#include "platform/signals.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

// A program the service manager did not start runs as a console program:
// its body runs, its states go nowhere, and no session change will come.
TEST(WinServiceTest, AConsoleProgramRunsItsBodyPlainly) {
    int runs = 0;
    EXPECT_EQ(runService([&] {
                  ++runs;
                  notifyServiceManager("READY=1\nSTATUS=running");
                  notifyServiceManager("STOPPING=1");
                  return 7;
              }),
              7);
    EXPECT_EQ(runs, 1);
    SessionMonitor monitor;
    EXPECT_FALSE(monitor.valid());
    EXPECT_EQ(monitor.failure(), ENOENT);
}

// Session names are plain numbers; a session the manager does not list has
// no owner, and the services' session 0 is no login session.
TEST(WinSessionsTest, OnlyListedSessionsAreAnswered) {
    EXPECT_FALSE(sessionOwner(0xFFFFFFF0u));
    EXPECT_FALSE(sessionOwner(0));
    EXPECT_FALSE(loginSession("abc"));
    EXPECT_FALSE(loginSession("01"));
    EXPECT_FALSE(loginSession("4294967296"));
    if (const auto sessions = loginSessions()) {
        EXPECT_EQ(sessions->count(0), 0u);
    }
    const auto own = processOwner(::GetCurrentProcessId());
    ASSERT_TRUE(own);
    EXPECT_EQ(processUserId(::GetCurrentProcessId()), own->uid);
    if (const auto account = userAccount(own->uid)) {
        EXPECT_EQ(account->uid, own->uid);
        EXPECT_FALSE(account->name.empty());
    }
}

// The dump is the system's minidump, with the fault as its exception; it
// never replaces a file that is there.
TEST(WinServiceTest, AFaultIsDumpedInTheSystemsFormat) {
    test::TempDir directory;
    const std::string path = (directory.path() / "report.dmp").string();
    HlmPlg::FaultRecord fault = {};
    fault.code = 0xC0000005;
    fault.address = 0x10;
    fault.registers.rip = reinterpret_cast<uintptr_t>(&writeProcessDump);
    fault.registers.rsp = reinterpret_cast<uintptr_t>(&fault);
    const Status written = writeProcessDump(path, fault);
    ASSERT_TRUE(written.ok()) << written.error().message();
    std::ifstream file(path, std::ios::binary);
    char signature[4] = {};
    file.read(signature, 4);
    EXPECT_EQ(std::string(signature, 4), "MDMP");
    const Status again = writeProcessDump(path, fault);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().errnoValue(), EEXIST);
    EXPECT_FALSE(
        writeProcessDump((directory.path() / "missing" / "report.dmp").string(), fault).ok());
}

}  // namespace
}  // namespace holm::platform
