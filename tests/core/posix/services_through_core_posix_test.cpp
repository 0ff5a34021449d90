// The process object of a real core on Linux: what a started command sees of
// the service manager's variables and of this process's signal dispositions
// and mask (read from /proc), through a shell script.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "core/support/running_core.h"
#include "hlmplg/hlmplg.h"
#include "support/test_support.h"

namespace core_services_posix_test {

using holm::test::ScopedVariable;
using holm::test::ServicesThroughCore;
using namespace HlmPlg;

// A plugin's clean-up command run in its stop runs to its end: run's wait
// does not watch the stop. The child sees the caller's environment without
// the service manager's variables, and no standard signal ignored (the C
// library's spawn keeps its two internal real-time signals ignored) or
// blocked.
TEST_F(ServicesThroughCore, RunWaitsThroughTheStopWithACleanEnvironmentAndSignals) {
    auto* process = create<IProcess>(IID_PROCESS);
    ASSERT_NE(process, nullptr);
    const std::string configFile = (dir_.path() / "holm.conf").string();
    const auto script =
        dir_.write("check.sh",
                   "test -z \"$NOTIFY_SOCKET$WATCHDOG_USEC$WATCHDOG_PID\" || exit 1\n"
                   "test \"$HOLM_CONFIG_FILE\" = " +
                       configFile + " || exit 2\n" +
                       "ignored=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status)\n"
                       "test $((0x$ignored & 0x7fffffff)) -eq 0 || exit 3\n"
                       "grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status || exit 4\n"
                       "exit 7\n");
    const std::u16string command = u"/bin/sh " + holm::test::u16(script);
    {
        ScopedVariable notify("NOTIFY_SOCKET", (dir_.path() / "notify").string());
        ScopedVariable watchdog("WATCHDOG_USEC", "1000000");
        ScopedVariable config("HOLM_CONFIG_FILE", configFile);
        struct sigaction ignore = {}, previous = {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &previous);
        sigset_t blocked, before;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        ::pthread_sigmask(SIG_BLOCK, &blocked, &before);

        EXPECT_EQ(core_->stop(), 0u);  // the process object is told of the stop
        EXPECT_TRUE(process->run(command.c_str(), true));
        EXPECT_EQ(process->getExitCode(), 7u);

        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        ::sigaction(SIGXFSZ, &previous, nullptr);
    }
    // The session runs' wait does watch it (no session here: nothing starts),
    // and a failure leaves the exit code at 0.
    EXPECT_FALSE(process->runInActiveSession(command.c_str(), true));
    EXPECT_EQ(process->getExitCode(), 0u);
    // Without wait nothing of the process is kept.
    EXPECT_TRUE(process->run(u"/bin/true", false));
    EXPECT_FALSE(process->getProcessHandle());
    EXPECT_EQ(process->getProcessId(), 0u);
    core_->releaseInterface(IID_PROCESS, process);
}

}  // namespace core_services_posix_test
