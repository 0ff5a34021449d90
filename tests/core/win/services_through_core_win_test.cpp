// The process object of a real core on Windows: what a started command gets
// of the service manager's variables, of this process's error mode (the
// counterpart of Linux's signal dispositions and mask) and of its
// inheritable handles, through the tests' child program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/utf16.h"
#include "core/support/running_core.h"
#include "hlmplg/hlmplg.h"
#include "support/test_support.h"

namespace core_services_win_test {

using holm::test::ScopedVariable;
using holm::test::ServicesThroughCore;
using namespace HlmPlg;

// A plugin's clean-up command run in its stop runs to its end: run's wait
// does not watch the stop. The child sees the caller's environment without
// the service manager's variables, starts with the system's default error
// mode whatever this process set (a service commonly turns the system's
// error boxes off for itself), and gets none of this process's inheritable
// handles.
TEST_F(ServicesThroughCore, RunWaitsThroughTheStopWithACleanEnvironmentErrorModeAndHandles) {
    auto* process = create<IProcess>(IID_PROCESS);
    ASSERT_NE(process, nullptr);
    const std::string configFile = holm::test::utf8(dir_.path() / "holm.conf");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE event = ::CreateEventW(&inherit, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const std::u16string command =
        u"\"" + holm::common::utf8ToUtf16(HOLM_TEST_CHILD) + u"\" inherited \"" +
        holm::common::utf8ToUtf16(configFile) + u"\" " +
        holm::common::utf8ToUtf16(std::to_string(reinterpret_cast<uintptr_t>(event)));
    {
        ScopedVariable notify("NOTIFY_SOCKET", holm::test::utf8(dir_.path() / "notify"));
        ScopedVariable watchdog("WATCHDOG_USEC", "1000000");
        ScopedVariable config("HOLM_CONFIG_FILE", configFile);
        const UINT errorMode =
            ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);

        EXPECT_EQ(core_->stop(), 0u);  // the process object is told of the stop
        EXPECT_TRUE(process->run(command.c_str(), true));
        EXPECT_EQ(process->getExitCode(), 7u);

        ::SetErrorMode(errorMode);
    }
    ::CloseHandle(event);
    // The session runs' wait does watch it: it ends at once, whether or not
    // the system has an active session to start the process in, and a
    // failure leaves the exit code at 0.
    EXPECT_FALSE(process->runInActiveSession(command.c_str(), true));
    EXPECT_EQ(process->getExitCode(), 0u);
    // Without wait nothing of the process is kept.
    const std::u16string quick = u"\"" + holm::common::utf8ToUtf16(HOLM_TEST_CHILD) + u"\" exit 0";
    EXPECT_TRUE(process->run(quick.c_str(), false));
    EXPECT_FALSE(process->getProcessHandle());
    EXPECT_EQ(process->getProcessId(), 0u);
    core_->releaseInterface(IID_PROCESS, process);
}

}  // namespace core_services_win_test
