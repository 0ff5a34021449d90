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
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::platform::ChildProcess;
using holm::platform::ChildSignal;
using holm::platform::ProcessResult;

constexpr std::chrono::seconds kDeadline{60};

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(product_);
        fs::copy_file(HOLM_AVHOLM_PROGRAM, program_);
        installCore(HOLM_FAKE_CORE);
    }

    // Copies a core library into the product directory and signs the copy.
    void installCore(const fs::path& library) {
        fs::copy_file(library, core_, fs::copy_options::overwrite_existing);
        const ProcessResult signing = holm::platform::runProcess(
            {HOLM_SIGN_PROGRAM, "sign", "--key", HOLM_DEVELOPMENT_KEY, core_.string()}, {},
            kDeadline);
        ASSERT_EQ(signing.exitCode, 0) << signing.output;
    }

    std::vector<std::string> command(const std::vector<std::string>& arguments) const {
        std::vector<std::string> line{program_.string()};
        line.insert(line.end(), arguments.begin(), arguments.end());
        return line;
    }

    std::vector<std::string> environment(const std::string& productDirectory = "") const {
        std::vector<std::string> variables{"HOLM_FAKE_CORE_RECORD=" + record_.string(),
                                           "HOLM_PRODUCT_DIR=" + productDirectory};
        variables.insert(variables.end(), extraEnvironment_.begin(), extraEnvironment_.end());
        return variables;
    }

    ProcessResult run(const std::vector<std::string>& arguments,
                      const std::string& productDirectory = "") const {
        return holm::platform::runProcess(command(arguments), environment(productDirectory),
                                          kDeadline);
    }

    // Starts the host and waits until the fake core runs.
    ChildProcess startRunning(const std::vector<std::string>& arguments) const {
        auto started = ChildProcess::start(command(arguments), environment());
        EXPECT_TRUE(started.ok()) << started.error().message();
        ChildProcess host = started ? std::move(*started) : ChildProcess();
        EXPECT_TRUE(host.waitForOutput("FakeCore: running", kDeadline)) << host.output();
        return host;
    }

    // The fake core's calls, one per line; empty when it was never called.
    std::string calls() const {
        std::ifstream in(record_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    holm::test::TempDir temp_;
    fs::path product_ = temp_.path() / "product";
    fs::path program_ = product_ / "avholm";
    fs::path core_ = product_ / "libholmcore.so";
    fs::path record_ = temp_.path() / "calls.txt";
    std::vector<std::string> extraEnvironment_;
};

TEST_F(HostTest, MissingPluginListExitsWithOneLineBeforeLoadingTheCore) {
    const std::string missing = (temp_.path() / "none.xml").string();
    ProcessResult result = run({missing});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, "avholm: plugin list not found: " + missing + "\n");

    result = run({});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output,
              "avholm: plugin list not found: " + (product_ / "plugins.xml").string() + "\n");

    result = run({temp_.path().string()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, "avholm: cannot read plugin list: " + temp_.path().string() + "\n");
    EXPECT_EQ(calls(), "");
}

TEST_F(HostTest, DefaultListIsPluginsXmlOfTheProductDirectory) {
    const fs::path list = product_ / "plugins.xml";
    std::ofstream(list) << "<plugins/>";
    const ProcessResult result = run({"--run-for", "0"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(calls().find("getHlmCore " + list.string() + " shared=(null)\n"), std::string::npos);
}

TEST_F(HostTest, ProductDirectoryVariableNamesWhereTheCoreAndDefaultListAre) {
    const fs::path elsewhere = temp_.path() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::rename(core_, elsewhere / core_.filename());
    fs::rename(core_.string() + ".sig", (elsewhere / core_.filename()).string() + ".sig");
    std::ofstream(elsewhere / "plugins.xml") << "<plugins/>";

    const ProcessResult result = run({"--run-for", "0"}, elsewhere.string());
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(calls().find("getHlmCore " + (elsewhere / "plugins.xml").string()), std::string::npos)
        << calls();
}

TEST_F(HostTest, CoreFailingTheSignatureCheckIsRefused) {
    fs::remove(core_.string() + ".sig");
    ProcessResult result = run({"@XMLFILE:"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_NE(result.output.find("avholm: core library refused: " + core_.string()),
              std::string::npos)
        << result.output;

    installCore(HOLM_FAKE_CORE);
    std::ofstream(core_, std::ios::app) << "tampered";
    result = run({"@XMLFILE:"});
    EXPECT_EQ(result.exitCode, 3) << result.output;

    fs::remove(core_);
    result = run({"@XMLFILE:"});
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_EQ(calls(), "");
}

// The core library is a product file: a plugin author's enrolled key may not
// sign it, and `holm-sign verify` tells which key a file is signed with.
TEST_F(HostTest, CoreSignedByAnEnrolledKeyIsRefused) {
    const fs::path keys = temp_.path() / "trusted-keys";
    fs::create_directory(keys);
    fs::permissions(keys, fs::perms::owner_all);
    const std::string author = (temp_.path() / "author").string();
    ASSERT_EQ(
        holm::platform::runProcess({HOLM_SIGN_PROGRAM, "keygen", "--out", author}, {}, kDeadline)
            .exitCode,
        0);
    fs::copy_file(author + ".pub", keys / "author.pub");
    const std::string enrolled = "HOLM_TRUSTED_KEYS_DIR=" + keys.string();

    ProcessResult verified = holm::platform::runProcess(
        {HOLM_SIGN_PROGRAM, "verify", core_.string()}, {enrolled}, kDeadline);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_NE(verified.output.find("signed with the product key"), std::string::npos)
        << verified.output;

    ASSERT_EQ(
        holm::platform::runProcess(
            {HOLM_SIGN_PROGRAM, "sign", "--key", author + ".key", core_.string()}, {}, kDeadline)
            .exitCode,
        0);
    verified = holm::platform::runProcess({HOLM_SIGN_PROGRAM, "verify", core_.string()}, {enrolled},
                                          kDeadline);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_NE(verified.output.find("signed with an enrolled key: valid as a plugin file only"),
              std::string::npos)
        << verified.output;
    verified = holm::platform::runProcess(
        {HOLM_SIGN_PROGRAM, "verify", "--product", core_.string()}, {enrolled}, kDeadline);
    EXPECT_NE(verified.exitCode, 0) << verified.output;

    std::vector<std::string> environment = this->environment();
    environment.push_back(enrolled);
    const ProcessResult result =
        holm::platform::runProcess(command({"@XMLFILE:"}), environment, kDeadline);
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_NE(result.output.find("only the product key may sign this file"), std::string::npos)
        << result.output;
    EXPECT_EQ(calls(), "");
}

// The core may bring in nothing from outside the system library directories.
TEST_F(HostTest, CoreWithARunPathOutsideTheSystemDirectoriesIsRefused) {
    installCore(HOLM_FAKE_CORE_RUNPATH);
    const ProcessResult result = run({"@XMLFILE:"});
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_NE(result.output.find("its run path names \"$ORIGIN\""), std::string::npos)
        << result.output;
    EXPECT_EQ(calls(), "");
}

TEST_F(HostTest, CoreWithoutEntryPointCannotBeLoaded) {
    installCore(HOLM_FAKE_CORE_WITHOUT_ENTRY);
    const ProcessResult result = run({"@XMLFILE:"});
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_NE(result.output.find("has no getHlmCore"), std::string::npos) << result.output;
}

TEST_F(HostTest, InitialisationFailureExitsWithTheReportedCode) {
    ProcessResult result = run({"@XMLFILE:fail=103"});
    EXPECT_EQ(result.exitCode, 103);
    EXPECT_NE(result.output.find("avholm: core initialisation failed (code 103)"),
              std::string::npos)
        << result.output;

    // No code reported, or a reported 0, still exits as a failure.
    EXPECT_EQ(run({"@XMLFILE:failsilent"}).exitCode, 1);
    EXPECT_EQ(run({"@XMLFILE:fail=0"}).exitCode, 1);
}

TEST_F(HostTest, RunFailureDestroysTheCoreAndExitsWithItsCode) {
    ProcessResult result = run({"@XMLFILE:run=202"});
    EXPECT_EQ(result.exitCode, 202);
    EXPECT_NE(result.output.find("avholm: core run failed (code 202)"), std::string::npos)
        << result.output;
    EXPECT_EQ(calls().find("stop\n"), std::string::npos);
    EXPECT_NE(calls().find("destroyed\n"), std::string::npos);

    // 256 would wrap around to a success status.
    result = run({"@XMLFILE:run=256"});
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_NE(result.output.find("exit code 256 does not fit"), std::string::npos);
}

TEST_F(HostTest, StopSignalsStopTheCoreAndExitCleanly) {
    for (ChildSignal signal : {ChildSignal::Terminate, ChildSignal::Interrupt}) {
        fs::remove(record_);
        ChildProcess host = startRunning({"@XMLFILE:"});
        ASSERT_TRUE(host.sendSignal(signal));
        EXPECT_EQ(host.wait(kDeadline), 0) << host.output();
        EXPECT_EQ(calls(), "getHlmCore @XMLFILE: shared=(null)\nsetCommandLine 1 " +
                               program_.string() +
                               "\nrun quick=0\nhandleCmdLine\nstop\ndestroyed\n");
    }
}

TEST_F(HostTest, HangupReloadsTheConfigurationAndKeepsRunning) {
    ChildProcess host = startRunning({"@XMLFILE:"});
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(host.waitForOutput("FakeCore: reloaded", kDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kDeadline), 0) << host.output();
    EXPECT_NE(calls().find("run quick=0\nhandleCmdLine\nreloadConfig\nstop\ndestroyed\n"),
              std::string::npos)
        << calls();
}

TEST_F(HostTest, StopRequestedFromAPluginThreadStopsCleanly) {
    ProcessResult result = run({"@XMLFILE:stopself"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("stopping: requested by a plugin"), std::string::npos);
    EXPECT_NE(calls().find("run quick=0\nhandleCmdLine\nstop\ndestroyed\n"), std::string::npos)
        << calls();

    // The code a plugin sets becomes the exit code.
    result = run({"@XMLFILE:stopself;exitcode=7"});
    EXPECT_EQ(result.exitCode, 7) << result.output;
}

// The command line is offered once the plugins run; a plugin that takes it
// has handled a one-shot command, so the host stops at once with its code.
TEST_F(HostTest, CommandLineTakenByAPluginStopsTheHostWithThatPluginsCode) {
    const ProcessResult result = run({"@XMLFILE:takecmd=9", "/do-once"});
    EXPECT_EQ(result.exitCode, 9) << result.output;
    EXPECT_NE(result.output.find("stopping: a plugin handled the command line"), std::string::npos)
        << result.output;
    EXPECT_NE(calls().find("run quick=0\nhandleCmdLine\nstop\ndestroyed\n"), std::string::npos)
        << calls();
}

TEST_F(HostTest, ArgumentsAfterTheListReachTheCommandLine) {
    const ProcessResult result = run({"--run-for", "0", "@xmlfile:x", "/test=all=demo", "--shared",
                                      "guard", "two words", "--", "--help"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(calls().find("getHlmCore @xmlfile:x shared=guard\nsetCommandLine 4 " +
                           program_.string() + "|/test=all=demo|two words|--help\n"),
              std::string::npos)
        << calls();
    EXPECT_NE(result.output.find("stopping: run time over"), std::string::npos);
}

// A signal that arrives after main began but before the main loop reads the
// signals waits for the loop (the test switch sends it first thing in main).
TEST_F(HostTest, SignalsArrivingAtTheStartOfMainWaitForTheMainLoop) {
    extraEnvironment_ = {"HOLM_TEST_SIGNAL_AT_START=HUP"};
    ChildProcess host = startRunning({"@XMLFILE:"});
    ASSERT_TRUE(host.waitForOutput("FakeCore: reloaded", kDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kDeadline), 0) << host.output();

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
    ASSERT_TRUE(host.waitForOutput("FakeCore: stopping", kDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Interrupt));
    EXPECT_EQ(host.wait(kDeadline), 8) << host.output();
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
    ASSERT_TRUE(manager.waitFor("READY=1", kDeadline));
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", kDeadline));
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", kDeadline));

    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(manager.waitFor("RELOADING=1", kDeadline));
    ASSERT_TRUE(manager.waitFor("READY=1", kDeadline));
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", kDeadline));

    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_TRUE(manager.waitFor("STOPPING=1", kDeadline));
    EXPECT_EQ(host.wait(kDeadline), 0) << host.output();
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
    ASSERT_TRUE(manager.waitFor("READY=1", kDeadline, &skipped));
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(host.waitForOutput("FakeCore: reloaded", kDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_TRUE(manager.waitFor("STOPPING=1", kDeadline, &skipped));
    EXPECT_EQ(host.wait(kDeadline), 0) << host.output();
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
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", kDeadline));
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(manager.waitFor("RELOADING=1", kDeadline));
    ASSERT_TRUE(host.waitForOutput("FakeCore: reloaded", kDeadline)) << host.output();
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
        EXPECT_EQ(host.wait(kDeadline), 8) << host.output();
        EXPECT_NE(host.output().find("avholm: stop abandoned: the start did not finish within 1 s "
                                     "of the stop request; exiting at once with code 8\n"),
                  std::string::npos)
            << host.output();
    }
    ChildProcess host = startRunning({"@XMLFILE:hangrun"});
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    ASSERT_TRUE(host.waitForOutput("stopping: TERM (once the start has ended)", kDeadline))
        << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kDeadline), 8) << host.output();
    EXPECT_NE(host.output().find("avholm: stop abandoned: TERM arrived while the plugins were "
                                 "starting and a stop was pending"),
              std::string::npos)
        << host.output();
    EXPECT_EQ(calls().find("stop\n"), std::string::npos) << calls();
}

// With --log the lines go to the file (appended) and none to standard
// error; a file that cannot be opened is a usage error said on standard error.
TEST_F(HostTest, LogOptionSendsTheLinesToAFile) {
    std::ofstream(product_ / "plugins.xml") << "<plugins/>";
    const fs::path log = temp_.path() / "host.log";
    std::ofstream(log) << "before\n";
    ProcessResult result = run({"--log", log.string(), "--run-for", "0"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "");
    std::stringstream written;
    written << std::ifstream(log).rdbuf();
    EXPECT_EQ(written.str().rfind("before\n", 0), 0u) << written.str();
    EXPECT_NE(written.str().find("avholm: stopped (exit code 0)"), std::string::npos)
        << written.str();

    result = run({"--log", (temp_.path() / "missing" / "host.log").string(), "--run-for", "0"});
    EXPECT_EQ(result.exitCode, 5) << result.output;
    EXPECT_NE(result.output.find("avholm: cannot write the log to"), std::string::npos)
        << result.output;
}

TEST_F(HostTest, UnknownOptionIsAUsageError) {
    const ProcessResult result = run({"--bogus"});
    EXPECT_EQ(result.exitCode, 5) << result.output;
    EXPECT_EQ(result.output, "avholm: unknown option --bogus (see avholm --help)\n");
    EXPECT_EQ(calls(), "");
}

TEST_F(HostTest, StopOutlastingTheLimitEndsTheHostAtOnce) {
    const ProcessResult result = run({"--run-for", "0", "--stop-limit", "1", "@XMLFILE:hangstop"});
    EXPECT_EQ(result.exitCode, 8) << result.output;
    EXPECT_NE(result.output.find("avholm: stop abandoned: the stop did not finish within 1 s"),
              std::string::npos)
        << result.output;
}

// Text from the core is outside text to the host: control characters in it
// never start a line of their own.
TEST_F(HostTest, ControlCharactersFromTheCoreAreEscaped) {
    const ProcessResult result = run({"--run-for", "0", "@XMLFILE:logcontrol\n"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find(" NOTICE FakeCore\\nCore: forged\\n2026-01-01 00:00:00.000 "
                                 "NOTICE Core: \\x1b[2Jall well\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("\n2026-01-01"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find('\x1b'), std::string::npos);
    EXPECT_NE(result.output.find("running (plugin list @XMLFILE:logcontrol\\n)"), std::string::npos)
        << result.output;
}

TEST_F(HostTest, CoreLogLinesCarryTimeLevelAndSource) {
    const ProcessResult result = run({"--run-for", "0", "@XMLFILE:"});
    const std::regex line(
        R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} INFO FakeCore: running\n)");
    EXPECT_TRUE(std::regex_search(result.output, line)) << result.output;
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
    ProcessResult result = holm::platform::runProcess(shell, environment(), kDeadline);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(std::regex_search(
        result.output, std::regex(R"((^|\n)<6>\d{4}-\d\d-\d\d [^\n]* INFO FakeCore: running\n)")))
        << result.output;
    EXPECT_TRUE(std::regex_search(result.output, std::regex(R"((^|\n)<5>[^\n]* NOTICE )")))
        << result.output;
    EXPECT_FALSE(std::regex_search(result.output, std::regex(R"((^|\n)[^<])"))) << result.output;

    shell.back() = (temp_.path() / "none.xml").string();
    result = holm::platform::runProcess(shell, environment(), kDeadline);
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

// The whole product as the main job runs it: avholm verifies and loads the
// real core from its descriptor, and the core loads the example plugins from
// theirs (so two modules' loaders share descriptor numbers).
TEST(ProductDemo, ExamplePluginsLoadStartTestAndStop) {
    holm::test::TempDir data;
    // The plugin "settings" reads [DEMO] through the configuration library;
    // a value it does not find reads as its default.
    data.write("holm.conf", "[DEMO]\nGreeting = from the test\nTargets = /a,/b\n");
    const fs::path product = fs::path(HOLM_AVHOLM_PROGRAM).parent_path();
    const ProcessResult result =
        holm::platform::runProcess({HOLM_AVHOLM_PROGRAM, (product / "plugins.xml").string(),
                                    "--run-for", "0", "/test=all=hello"},
                                   {"HOLM_DATA_DIR=" + data.path().string() + "/",
                                    "HOLM_REGISTRY_DIR=" + data.path().string() + "/registry"},
                                   std::chrono::seconds(60));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    for (const char* line :
         {"PM(demo): calling Load() ... done", "PM(demo): calling Start() ... done",
          "PM(demo): test(hello) = true", "PM(demo): calling Stop() ... done",
          "PM(demo): calling UnLoad() ... done"}) {
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
    }
    EXPECT_NE(result.output.find("settings: started with Greeting=\"from the test\" "
                                 "IntervalSeconds=60 Verbose=0 Targets=[/a, /b]"),
              std::string::npos)
        << result.output;
    // The plugin "ini" counts its runs in the data directory's demo.ini.
    EXPECT_NE(result.output.find("ini: run 1 recorded in " + data.path().string() +
                                 "/demo.ini (block mode), read back 1 (profile mode)"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("Unable to load plugin"), std::string::npos) << result.output;
    // Both generations together: the first-generation "scanner" reaches the
    // second-generation engine and driver stand-ins through the core
    // library's bridge, and its update report reaches a second-generation
    // subscriber of the core library's gateway.
    for (const char* line :
         {"scanner: extensions .EXE .DLL .SYS .JS .DOC", "scanner: engine 8.2.2026.12",
          "gateway demo: greeting = from the test",
          "gateway demo: message 581 = Plugin demo has been started successfully!",
          "scanner: driver active, 42 files, last file /srv/share/report.doc",
          "gateway demo: wrote to the report log", "gateway demo: the engine was updated"}) {
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
    }
    EXPECT_EQ(result.output.find("PM2:"), std::string::npos) << result.output;
}

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
    ASSERT_TRUE(host.waitForOutput("settings: started", kDeadline)) << host.output();
    ASSERT_TRUE(host.waitForOutput("avholm: running", kDeadline)) << host.output();

    data.write("holm.conf", "[DEMO]\nGreeting = after\nIntervalSeconds = 30\n");
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(host.waitForOutput("settings: Greeting: \"before\" -> \"after\"", kDeadline))
        << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kDeadline), 0) << host.output();
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
    ASSERT_TRUE(host.waitForOutput("settings: counted this start: Starts=1", kDeadline))
        << host.output();
    ASSERT_TRUE(host.waitForOutput("avholm: running", kDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Hangup));
    ASSERT_TRUE(host.waitForOutput("settings: Starts: 0 -> 1", kDeadline)) << host.output();
    ASSERT_TRUE(host.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(host.wait(kDeadline), 0) << host.output();
}

// avholm with the real core and its product directory, in a data directory
// of the test's own.
class ProductHostTest : public ::testing::Test {
  protected:
    ProcessResult run(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment = {}) const {
        std::vector<std::string> line{HOLM_AVHOLM_PROGRAM};
        line.insert(line.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment{
            "HOLM_DATA_DIR=" + data_.path().string() + "/",
            "HOLM_REGISTRY_DIR=" + data_.path().string() + "/registry"};
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        return holm::platform::runProcess(line, environment, kDeadline);
    }

    // A list file the host and the core accept unsigned: writable by its
    // owner only, in a directory writable by its owner only.
    std::string writeList(const std::string& content) const {
        const fs::path path = lists_.write("plugins.xml", content);
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        fs::permissions(lists_.path(), fs::perms::owner_all);
        return path.string();
    }

    holm::test::TempDir data_;
    holm::test::TempDir lists_;
    const fs::path examples_ = fs::path(HOLM_AVHOLM_PROGRAM).parent_path() / "plugins";
};

// Every plugin refused: the core's run succeeds, the host does not. The
// name's newline is escaped in the refusal line.
TEST_F(ProductHostTest, RunWithoutAnyLoadablePluginFails) {
    ProcessResult result =
        run({"--run-for", "0", "@XMLFILE:name=ghost\nforged;file=/nonexistent/libghost.so"});
    EXPECT_EQ(result.exitCode, 7) << result.output;
    EXPECT_NE(result.output.find("NOTICE Core: Unable to load plugin 'ghost\\nforged'."),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("\nforged"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("avholm: no listed plugin could be loaded (1 refused); stopping"),
              std::string::npos)
        << result.output;

    // One plugin that loads is enough; a list that names none is no failure.
    result = run({"--run-for", "0",
                  "@XMLFILE:name=ghost;file=/nonexistent/libghost.so|name=demo;file=" +
                      (examples_ / "libdemo_service.so").string()});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(run({"--run-for", "0", "@XMLFILE:"}).exitCode, 0);
}

// A listed plugin that reports itself not installed is asked before any Load
// and removed with its line; the others run as usual.
TEST_F(ProductHostTest, PluginNotInstalledIsRemovedBeforeLoad) {
    const fs::path plugins(HOLM_TEST_PLUGIN_DIR);
    const fs::path calls = data_.path() / "calls.txt";
    const ProcessResult result =
        run({"--run-for", "0",
             "@XMLFILE:name=kept;file=" + (plugins / "libok.so").string() + ";params=name=kept" +
                 "|name=absent;file=" + (plugins / "libnot_installed.so").string() +
                 ";params=name=absent"},
            {"HOLM_TEST_PLUGIN_LOG=" + calls.string()});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("Core: PM(absent): unloading ... (not installed)"),
              std::string::npos)
        << result.output;

    std::ifstream in(calls);
    std::stringstream text;
    text << in.rdbuf();
    const std::string recorded = text.str();
    EXPECT_NE(recorded.find("absent:isInstalled\nabsent:destructor\n"), std::string::npos)
        << recorded;
    EXPECT_EQ(recorded.find("absent:load"), std::string::npos) << recorded;
    EXPECT_NE(recorded.find("kept:load"), std::string::npos) << recorded;
    EXPECT_LT(recorded.find("absent:destructor"), recorded.find("kept:load")) << recorded;
}

TEST_F(ProductHostTest, ListsDeclaringEntitiesOrOverlongNamesAreRefused) {
    ProcessResult result = run({writeList(
        "<!DOCTYPE l [<!ENTITY e 'demo'>]><l><plugins><p name='&e;' file='x.so'/></plugins></l>")});
    EXPECT_EQ(result.exitCode, 2) << result.output;
    EXPECT_NE(result.output.find("a plugin list may not declare entities"), std::string::npos)
        << result.output;

    result = run({"@XMLFILE:name=" + std::string(300, 'n') + ";file=x.so"});
    EXPECT_EQ(result.exitCode, 2) << result.output;
    EXPECT_NE(result.output.find("a value in record 1 is longer than 256 bytes"), std::string::npos)
        << result.output;
}

// A text library that is signed but not readable starts the core with a
// warning that names it, instead of "#" names that quietly resolve to nothing.
TEST_F(ProductHostTest, CorruptMasterTextFileGivesAWarningNamingIt) {
    const fs::path built = fs::path(HOLM_AVHOLM_PROGRAM).parent_path();
    const fs::path product = data_.path() / "product";
    fs::create_directory(product);
    for (const char* name : {"libholmcore.so", "holmmsg.dll"}) {
        fs::copy_file(built / name, product / name);
        fs::copy_file(built / (std::string(name) + ".sig"), product / (std::string(name) + ".sig"));
    }
    const fs::path texts = product / "CommonTextRc.dll";
    fs::copy_file(built / "CommonTextRc.dll", texts);
    {
        std::fstream file(texts, std::ios::in | std::ios::out | std::ios::binary);
        file.write("XXXX", 4);  // the magic
    }
    const ProcessResult signing = holm::platform::runProcess(
        {HOLM_SIGN_PROGRAM, "sign", "--key", HOLM_DEVELOPMENT_KEY, texts.string()}, {}, kDeadline);
    ASSERT_EQ(signing.exitCode, 0) << signing.output;

    const ProcessResult result =
        holm::platform::runProcess({HOLM_AVHOLM_PROGRAM, "--run-for", "0", "@XMLFILE:"},
                                   {"HOLM_PRODUCT_DIR=" + product.string() + "/",
                                    "HOLM_DATA_DIR=" + data_.path().string() + "/",
                                    "HOLM_REGISTRY_DIR=" + data_.path().string() + "/registry"},
                                   kDeadline);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("NOTICE Core: Warning: the master texts in '" + texts.string() +
                                 "' cannot be read (not a resource text file: wrong magic)"),
              std::string::npos)
        << result.output;
}

}  // namespace
