// avholm run as a child process against the fake core: the plugin list and
// the core it finds, the core's signature and who may sign it, the core's failures and exit
// codes, the command line, the log and its lines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "product/support/host_fixture.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::platform::ProcessResult;
using holm::test::hostSpelling;
using holm::test::HostTest;
using holm::test::kHostDeadline;
using holm::test::utf8;

// The core library is a product file: a plugin author's enrolled key (in a
// directory only its owner may write) may not sign it, and `holm-sign verify`
// tells which key a file is signed with.
TEST_F(HostTest, CoreSignedByAnEnrolledKeyIsRefused) {
    const fs::path keys = temp_.path() / "trusted-keys";
    fs::create_directory(keys);
    fs::permissions(keys, fs::perms::owner_all);
    const std::string author = utf8(temp_.path() / "author");
    ASSERT_EQ(holm::platform::runProcess({HOLM_SIGN_PROGRAM, "keygen", "--out", author}, {},
                                         kHostDeadline)
                  .exitCode,
              0);
    fs::copy_file(author + ".pub", keys / "author.pub");
    const std::string enrolled = "HOLM_TRUSTED_KEYS_DIR=" + utf8(keys);

    ProcessResult verified = holm::platform::runProcess({HOLM_SIGN_PROGRAM, "verify", utf8(core_)},
                                                        {enrolled}, kHostDeadline);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_NE(verified.output.find("signed with the product key"), std::string::npos)
        << verified.output;

    ASSERT_EQ(
        holm::platform::runProcess(
            {HOLM_SIGN_PROGRAM, "sign", "--key", author + ".key", utf8(core_)}, {}, kHostDeadline)
            .exitCode,
        0);
    verified = holm::platform::runProcess({HOLM_SIGN_PROGRAM, "verify", utf8(core_)}, {enrolled},
                                          kHostDeadline);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_NE(verified.output.find("signed with an enrolled key: valid as a plugin file only"),
              std::string::npos)
        << verified.output;
    verified = holm::platform::runProcess({HOLM_SIGN_PROGRAM, "verify", "--product", utf8(core_)},
                                          {enrolled}, kHostDeadline);
    EXPECT_NE(verified.exitCode, 0) << verified.output;

    std::vector<std::string> environment = this->environment();
    environment.push_back(enrolled);
    const ProcessResult result =
        holm::platform::runProcess(command({"@XMLFILE:"}), environment, kHostDeadline);
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_NE(result.output.find("only the product key may sign this file"), std::string::npos)
        << result.output;
    EXPECT_EQ(calls(), "");
}

TEST_F(HostTest, MissingPluginListExitsWithOneLineBeforeLoadingTheCore) {
    const std::string missing = utf8(temp_.path() / "none.xml");
    ProcessResult result = run({missing});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, "avholm: plugin list not found: " + missing + "\n");

    result = run({});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output,
              "avholm: plugin list not found: " + hostSpelling(product_ / "plugins.xml") + "\n");

    result = run({utf8(temp_.path())});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, "avholm: cannot read plugin list: " + utf8(temp_.path()) + "\n");
    EXPECT_EQ(calls(), "");
}

TEST_F(HostTest, DefaultListIsPluginsXmlOfTheProductDirectory) {
    const fs::path list = product_ / "plugins.xml";
    std::ofstream(list) << "<plugins/>";
    const ProcessResult result = run({"--run-for", "0"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(calls().find("getHlmCore " + hostSpelling(list) + " shared=(null)\n"),
              std::string::npos);
}

TEST_F(HostTest, ProductDirectoryVariableNamesWhereTheCoreAndDefaultListAre) {
    const fs::path elsewhere = temp_.path() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::rename(core_, elsewhere / core_.filename());
    fs::rename(utf8(core_) + ".sig", utf8(elsewhere / core_.filename()) + ".sig");
    std::ofstream(elsewhere / "plugins.xml") << "<plugins/>";

    const ProcessResult result = run({"--run-for", "0"}, utf8(elsewhere));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(calls().find("getHlmCore " + utf8(elsewhere) + "/plugins.xml"), std::string::npos)
        << calls();
}

TEST_F(HostTest, CoreFailingTheSignatureCheckIsRefused) {
    fs::remove(utf8(core_) + ".sig");
    ProcessResult result = run({"@XMLFILE:"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_NE(result.output.find("avholm: core library refused: " + hostSpelling(core_)),
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
                           utf8(program_) + "|/test=all=demo|two words|--help\n"),
              std::string::npos)
        << calls();
    EXPECT_NE(result.output.find("stopping: run time over"), std::string::npos);
}

// With --log the lines go to the file (appended) and none to standard
// error; a file that cannot be opened is a usage error said on standard error.
TEST_F(HostTest, LogOptionSendsTheLinesToAFile) {
    std::ofstream(product_ / "plugins.xml") << "<plugins/>";
    const fs::path log = temp_.path() / "host.log";
    std::ofstream(log) << "before\n";
    ProcessResult result = run({"--log", utf8(log), "--run-for", "0"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "");
    std::stringstream written;
    written << std::ifstream(log).rdbuf();
    EXPECT_EQ(written.str().rfind("before\n", 0), 0u) << written.str();
    EXPECT_NE(written.str().find("avholm: stopped (exit code 0)"), std::string::npos)
        << written.str();

    result = run({"--log", utf8(temp_.path() / "missing" / "host.log"), "--run-for", "0"});
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

// A second stop request while the first waits for a hanging start, or while
// the plugins' stop hangs, ends the host at once with the code of an
// abandoned stop. The requests are the host's own, sent through the test
// switches at the start of main and as the stop begins, so that the case runs
// where the suite sends no request from outside.
TEST_F(HostTest, ASecondStopRequestDuringAHangingStartOrStopEndsTheHostAtOnce) {
    // The host ends at once by design: the thread of a step that has just
    // ended may be left unjoined, which a thread-sanitised build would report
    // as a leak (and exit with its own code).
    const char* sanitizer = std::getenv("TSAN_OPTIONS");
    const std::string sanitizerOptions =
        std::string("TSAN_OPTIONS=") + (sanitizer != nullptr ? std::string(sanitizer) + ":" : "") +
        "report_thread_leaks=0";
    extraEnvironment_ = {"HOLM_TEST_SIGNAL_AT_START=TERM,INT", sanitizerOptions};
    const ProcessResult start = run({"--stop-limit", "600", "@XMLFILE:hangrun"});
    EXPECT_EQ(start.exitCode, 8) << start.output;
    // Which of the two is read first is the system's choice (Linux takes
    // pending signals by number).
    EXPECT_NE(start.output.find(" arrived while the plugins were starting and a stop was "
                                "pending; exiting at once with code 8"),
              std::string::npos)
        << start.output;

    extraEnvironment_ = {"HOLM_TEST_SIGNAL_AT_START=TERM", "HOLM_TEST_SIGNAL_AT_STOP=INT"};
    const ProcessResult stop = run({"--stop-limit", "600", "@XMLFILE:hangstop"});
    EXPECT_EQ(stop.exitCode, 8) << stop.output;
    EXPECT_NE(stop.output.find("avholm: stop abandoned: INT arrived while the plugins were "
                               "stopping; exiting at once with code 8"),
              std::string::npos)
        << stop.output;
}

}  // namespace
