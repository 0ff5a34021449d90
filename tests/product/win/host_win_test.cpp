// avholm.exe run as a child process against the fake core, in a product
// directory laid out per test: a core signed by an enrolled key, and the
// stop requests Windows has instead of signals. The console's Ctrl+C and
// Ctrl+Break and the service manager's stop reach the host's channel as INT
// and TERM (scripts/win-service-check drives the service); here the test
// switch HOLM_TEST_SIGNAL_AT_START queues one at the start of main, through
// the same queue.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "product/support/host_fixture.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::platform::ProcessResult;
using holm::test::HostTest;
using holm::test::kHostDeadline;
using holm::test::utf8;

// The core library is a product file: a plugin author's enrolled key (in a
// directory only its owner may write) may not sign it, and `holm-sign verify`
// tells which key a file is signed with.
TEST_F(HostTest, CoreSignedByAnEnrolledKeyIsRefused) {
    const fs::path keys = temp_.path() / "trusted-keys";
    fs::create_directory(keys);
    const std::string author = utf8(temp_.path() / "author");
    const ProcessResult made = holm::platform::runProcess(
        {HOLM_SIGN_PROGRAM, "keygen", "--out", author}, {}, kHostDeadline);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    fs::copy_file(author + ".pub", keys / "author.pub");
    const std::string enrolled = "HOLM_TRUSTED_KEYS_DIR=" + utf8(keys);

    ProcessResult verified = holm::platform::runProcess({HOLM_SIGN_PROGRAM, "verify", utf8(core_)},
                                                        {enrolled}, kHostDeadline);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_NE(verified.output.find("signed with the product key"), std::string::npos)
        << verified.output;

    const ProcessResult signing = holm::platform::runProcess(
        {HOLM_SIGN_PROGRAM, "sign", "--key", author + ".key", utf8(core_)}, {}, kHostDeadline);
    ASSERT_EQ(signing.exitCode, 0) << signing.output;
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

// A stop request ends the core's run and exits cleanly, whichever of the two
// it is.
TEST_F(HostTest, StopRequestsStopTheCoreAndExitCleanly) {
    for (const char* request : {"TERM", "INT"}) {
        fs::remove(record_);
        extraEnvironment_ = {std::string("HOLM_TEST_SIGNAL_AT_START=") + request};
        const ProcessResult result = run({"@XMLFILE:"});
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_NE(result.output.find(std::string("stopping: ") + request), std::string::npos)
            << result.output;
        EXPECT_NE(calls().find("run quick=0\nhandleCmdLine\nstop\ndestroyed\n"), std::string::npos)
            << calls();
    }
}

// A start that hangs cannot keep the host alive: the stop limit runs from the
// request, which is pending while the start hangs, and the host ends with the
// code of an abandoned stop, the core's stop never called.
TEST_F(HostTest, StopRequestDuringAHangingStartEndsTheHostWithinTheLimit) {
    extraEnvironment_ = {"HOLM_TEST_SIGNAL_AT_START=TERM"};
    const ProcessResult result = run({"--stop-limit", "1", "@XMLFILE:hangrun"});
    EXPECT_EQ(result.exitCode, 8) << result.output;
    EXPECT_NE(result.output.find("stopping: TERM (once the start has ended)"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("avholm: stop abandoned: the start did not finish within 1 s of "
                                 "the stop request; exiting at once with code 8"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(calls().find("stop\n"), std::string::npos) << calls();
}

}  // namespace
