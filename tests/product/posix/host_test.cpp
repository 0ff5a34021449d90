// avholm run as a child process against the fake core, in a product
// directory laid out per test.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "product/support/host_fixture.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::platform::ChildProcess;
using holm::platform::ChildSignal;
using holm::platform::ProcessResult;
using holm::test::HostTest;
using holm::test::kHostDeadline;
using holm::test::utf8;

// The core may bring in nothing from outside the system library directories.
TEST_F(HostTest, CoreWithARunPathOutsideTheSystemDirectoriesIsRefused) {
    installCore(HOLM_FAKE_CORE_RUNPATH);
    const ProcessResult result = run({"@XMLFILE:"});
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_NE(result.output.find("its run path names \"$ORIGIN\""), std::string::npos)
        << result.output;
    EXPECT_EQ(calls(), "");
}

TEST_F(HostTest, StopSignalsStopTheCoreAndExitCleanly) {
    for (ChildSignal signal : {ChildSignal::Terminate, ChildSignal::Interrupt}) {
        fs::remove(record_);
        ChildProcess host = startRunning({"@XMLFILE:"});
        ASSERT_TRUE(host.sendSignal(signal));
        EXPECT_EQ(host.wait(kHostDeadline), 0) << host.output();
        EXPECT_EQ(calls(), "getHlmCore @XMLFILE: shared=(null)\nsetCommandLine 1 " +
                               program_.string() +
                               "\nrun quick=0\nhandleCmdLine\nstop\ndestroyed\n");
    }
}

TEST_F(HostTest, HangupReloadsTheConfigurationAndKeepsRunning) {
    ChildProcess host = startRunning({"@XMLFILE:"});
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(host.waitForOutput("FakeCore: reloaded", kHostDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kHostDeadline), 0) << host.output();
    EXPECT_NE(calls().find("run quick=0\nhandleCmdLine\nreloadConfig\nstop\ndestroyed\n"),
              std::string::npos)
        << calls();
}

// A signal that arrives after main began but before the main loop reads the
// signals waits for the loop (the test switch sends it first thing in main).
TEST_F(HostTest, SignalsArrivingAtTheStartOfMainWaitForTheMainLoop) {
    extraEnvironment_ = {"HOLM_TEST_SIGNAL_AT_START=HUP"};
    ChildProcess host = startRunning({"@XMLFILE:"});
    ASSERT_TRUE(host.waitForOutput("FakeCore: reloaded", kHostDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kHostDeadline), 0) << host.output();

    fs::remove(record_);
    extraEnvironment_ = {"HOLM_TEST_SIGNAL_AT_START=TERM"};
    const ProcessResult stopped = run({"@XMLFILE:"});
    EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
    EXPECT_NE(stopped.output.find("stopping: TERM"), std::string::npos) << stopped.output;
    EXPECT_NE(calls().find("run quick=0\nhandleCmdLine\nstop\ndestroyed\n"), std::string::npos)
        << calls();
}

TEST_F(HostTest, StopSignalDuringAHangingStopEndsTheHostAtOnce) {
    ChildProcess host = startRunning({"@XMLFILE:hangstop"});
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    ASSERT_TRUE(host.waitForOutput("FakeCore: stopping", kHostDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Interrupt));
    EXPECT_EQ(host.wait(kHostDeadline), 8) << host.output();
    EXPECT_NE(host.output().find("avholm: stop abandoned: INT arrived while the plugins were "
                                 "stopping; exiting at once with code 8\n"),
              std::string::npos)
        << host.output();
}

// A service manager's notification socket, bound by the test: a datagram
// socket in a temporary directory that collects what the host reports.
class NotifySocket {
  public:
    explicit NotifySocket(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string name = path.string();
        if (fd_ < 0 || name.size() >= sizeof(address.sun_path)) {
            return;
        }
        std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return bound_; }
    std::string variable() const { return "NOTIFY_SOCKET=" + path_.string(); }

    // The next message, or nothing when none arrives within `timeout`.
    std::optional<std::string> next(std::chrono::milliseconds timeout) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t size = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (size < 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<size_t>(size));
    }

    // Reads messages until one starts with `prefix`; the ones skipped are
    // appended to `skipped`. False when none comes within `timeout` of each.
    bool waitFor(const std::string& prefix, std::chrono::milliseconds timeout,
                 std::vector<std::string>* skipped = nullptr) {
        while (const auto message = next(timeout)) {
            if (message->rfind(prefix, 0) == 0) {
                return true;
            }
            if (skipped != nullptr) {
                skipped->push_back(*message);
            }
        }
        return false;
    }

  private:
    fs::path path_;
    int fd_ = -1;
    bool bound_ = false;
};

// Under a service manager: READY=1 once running, RELOADING=1 then READY=1
// around a reload, WATCHDOG=1 pings at half the interval it asked for, and
// STOPPING=1 on the way out.
TEST_F(HostTest, ServiceManagerHearsStateChangesAndWatchdogPings) {
    NotifySocket manager(temp_.path() / "notify");
    ASSERT_TRUE(manager.bound());
    extraEnvironment_ = {manager.variable(), "WATCHDOG_USEC=100000"};
    ChildProcess host = startRunning({"@XMLFILE:"});
    ASSERT_TRUE(manager.waitFor("READY=1", kHostDeadline));
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", kHostDeadline));
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", kHostDeadline));

    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(manager.waitFor("RELOADING=1", kHostDeadline));
    ASSERT_TRUE(manager.waitFor("READY=1", kHostDeadline));
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", kHostDeadline));

    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_TRUE(manager.waitFor("STOPPING=1", kHostDeadline));
    EXPECT_EQ(host.wait(kHostDeadline), 0) << host.output();
}

// A watchdog meant for another process (WATCHDOG_PID) is not this host's.
TEST_F(HostTest, WatchdogForAnotherProcessIsNotFed) {
    NotifySocket manager(temp_.path() / "notify");
    ASSERT_TRUE(manager.bound());
    // Pings would come every millisecond; a few hundred of them would pass
    // while the host reloads once.
    extraEnvironment_ = {manager.variable(), "WATCHDOG_USEC=2000", "WATCHDOG_PID=1"};
    ChildProcess host = startRunning({"@XMLFILE:"});
    std::vector<std::string> skipped;
    ASSERT_TRUE(manager.waitFor("READY=1", kHostDeadline, &skipped));
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(host.waitForOutput("FakeCore: reloaded", kHostDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_TRUE(manager.waitFor("STOPPING=1", kHostDeadline, &skipped));
    EXPECT_EQ(host.wait(kHostDeadline), 0) << host.output();
    for (const auto& message : skipped) {
        EXPECT_EQ(message.find("WATCHDOG=1"), std::string::npos) << message;
    }
}

// A reload that never returns stops the pings, so that the service manager
// sees the host hang. Pings are due every 5 ms; none may follow the reload.
TEST_F(HostTest, HungReloadStopsTheWatchdogPings) {
    NotifySocket manager(temp_.path() / "notify");
    ASSERT_TRUE(manager.bound());
    extraEnvironment_ = {manager.variable(), "WATCHDOG_USEC=10000"};
    ChildProcess host = startRunning({"@XMLFILE:hangreload"});
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", kHostDeadline));
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(manager.waitFor("RELOADING=1", kHostDeadline));
    ASSERT_TRUE(host.waitForOutput("FakeCore: reloaded", kHostDeadline)) << host.output();
    // The reload hangs from here: a hundred ping periods pass in silence.
    EXPECT_EQ(manager.next(std::chrono::milliseconds(500)), std::nullopt);
    // The host is left hanging; destroying its handle kills and reaps it.
}

// A start that hangs is stopped like a stop that hangs: the stop limit runs
// from the TERM, and a second TERM ends the host at once.
TEST_F(HostTest, StopSignalDuringAHangingStartEndsTheHostWithinTheLimit) {
    {
        ChildProcess host = startRunning({"--stop-limit", "1", "@XMLFILE:hangrun"});
        ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
        EXPECT_EQ(host.wait(kHostDeadline), 8) << host.output();
        EXPECT_NE(host.output().find("avholm: stop abandoned: the start did not finish within 1 s "
                                     "of the stop request; exiting at once with code 8\n"),
                  std::string::npos)
            << host.output();
    }
    ChildProcess host = startRunning({"@XMLFILE:hangrun"});
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    ASSERT_TRUE(host.waitForOutput("stopping: TERM (once the start has ended)", kHostDeadline))
        << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kHostDeadline), 8) << host.output();
    EXPECT_NE(host.output().find("avholm: stop abandoned: TERM arrived while the plugins were "
                                 "starting and a stop was pending"),
              std::string::npos)
        << host.output();
    EXPECT_EQ(calls().find("stop\n"), std::string::npos) << calls();
}

// Under the service manager standard error is the journal: each line then
// starts with its syslog priority. The shell sets JOURNAL_STREAM to the
// device and inode of the standard error it hands to avholm.
TEST_F(HostTest, JournalLinesStartWithTheirPriority) {
    std::vector<std::string> shell{"/bin/sh", "-c",
                                   "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) "
                                   "exec \"$0\" \"$@\""};
    const std::vector<std::string> host = command({"--run-for", "0", "@XMLFILE:logcontrol"});
    shell.insert(shell.end(), host.begin(), host.end());
    ProcessResult result = holm::platform::runProcess(shell, environment(), kHostDeadline);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(std::regex_search(
        result.output, std::regex(R"((^|\n)<6>\d{4}-\d\d-\d\d [^\n]* INFO FakeCore: running\n)")))
        << result.output;
    EXPECT_TRUE(std::regex_search(result.output, std::regex(R"((^|\n)<5>[^\n]* NOTICE )")))
        << result.output;
    EXPECT_FALSE(std::regex_search(result.output, std::regex(R"((^|\n)[^<])"))) << result.output;

    shell.back() = (temp_.path() / "none.xml").string();
    result = holm::platform::runProcess(shell, environment(), kHostDeadline);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output.rfind("<3>avholm: plugin list not found: ", 0), 0u) << result.output;

    // A stream that is not standard error's, as a child of a journaled
    // service with its own output inherits it: the lines stay as they are.
    extraEnvironment_.push_back("JOURNAL_STREAM=1:1");
    result = run({"--run-for", "0", "@XMLFILE:"});
    EXPECT_EQ(result.output.find('<'), std::string::npos) << result.output;
}

}  // namespace

namespace {

// The example plugin "settings" follows a reload: after a HUP it prints each
// value it reads that changed, and only those.
TEST(ProductDemo, ExampleSettingsPluginPrintsWhatAReloadChanged) {
    holm::test::TempDir data;
    data.write("holm.conf", "[DEMO]\nGreeting = before\nIntervalSeconds = 30\n");
    const fs::path product = fs::path(HOLM_AVHOLM_PROGRAM).parent_path();
    auto started = ChildProcess::start({HOLM_AVHOLM_PROGRAM, (product / "plugins.xml").string()},
                                       {"HOLM_DATA_DIR=" + data.path().string() + "/",
                                        "HOLM_REGISTRY_DIR=" + data.path().string() + "/registry"});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ChildProcess host = std::move(*started);
    ASSERT_TRUE(host.waitForOutput("settings: started", kHostDeadline)) << host.output();
    ASSERT_TRUE(host.waitForOutput("avholm: running", kHostDeadline)) << host.output();

    data.write("holm.conf", "[DEMO]\nGreeting = after\nIntervalSeconds = 30\n");
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(host.waitForOutput("settings: Greeting: \"before\" -> \"after\"", kHostDeadline))
        << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kHostDeadline), 0) << host.output();
    EXPECT_NE(host.output().find("settings: the configuration was reloaded"), std::string::npos)
        << host.output();
    EXPECT_EQ(host.output().find("settings: IntervalSeconds:"), std::string::npos) << host.output();
}

// The example plugin "settings" counts its start through the configuration
// updater; the reload that follows shows the new count to its reads.
TEST(ProductDemo, ExampleSettingsPluginWritesThroughTheUpdater) {
    holm::test::TempDir data;
    data.write("holm.conf", "[DEMO]\nGreeting = counted\n");
    const fs::path product = fs::path(HOLM_AVHOLM_PROGRAM).parent_path();
    auto started = ChildProcess::start({HOLM_AVHOLM_PROGRAM, (product / "plugins.xml").string()},
                                       {"HOLM_DATA_DIR=" + data.path().string() + "/",
                                        "HOLM_REGISTRY_DIR=" + data.path().string() + "/registry"});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ChildProcess host = std::move(*started);
    ASSERT_TRUE(host.waitForOutput("settings: counted this start: Starts=1", kHostDeadline))
        << host.output();
    ASSERT_TRUE(host.waitForOutput("avholm: running", kHostDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(host.waitForOutput("settings: Starts: 0 -> 1", kHostDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kHostDeadline), 0) << host.output();
}

}  // namespace
