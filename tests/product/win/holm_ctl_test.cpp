// holm-ctl against avholm running the real core with the product's example
// plugins, over the host's control pipe: the pipe of a runtime directory of
// the test's own, so that tests running at once do not meet.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/io.h"
#include "platform/local_socket.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::platform::ChildProcess;
using holm::platform::ProcessResult;
using holm::test::utf8;

constexpr std::chrono::seconds kWait{60};
constexpr const char* kPipeLine = "avholm: control pipe ";

// What the host answers on `connection` once it has read the request, to
// the end of the stream.
std::string answerOf(int connection) {
    std::string answer;
    uint8_t buffer[256];
    const auto deadline = holm::platform::io::deadlineIn(kWait);
    for (;;) {
        const auto readable = holm::platform::io::waitReadable(connection, deadline);
        if (!readable || !*readable) {
            return answer + "[no end]";
        }
        const auto got = holm::platform::io::readSome(connection, buffer);
        if (!got || *got == 0) {
            return answer;
        }
        answer.append(reinterpret_cast<const char*>(buffer), *got);
    }
}

class HolmCtlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_ = startHost(data_);
        ASSERT_TRUE(host_.valid());
        // The host names its pipe: "\\.\pipe\holm-control-<digest>".
        const std::string& output = host_.output();
        const size_t at = output.find(kPipeLine);
        ASSERT_NE(at, std::string::npos) << output;
        const size_t begin = at + std::string(kPipeLine).size();
        pipe_ = output.substr(begin, output.find('\n', begin) - begin);
        while (!pipe_.empty() && pipe_.back() == '\r') {
            pipe_.pop_back();
        }
        ASSERT_TRUE(pipe_.starts_with("\\\\.\\pipe\\holm-control-")) << pipe_;
    }

    void TearDown() override {
        if (host_.valid()) {
            // Windows has no stop signal to send: the host is ended.
            host_.sendSignal(holm::platform::ChildSignal::Terminate);
            EXPECT_TRUE(host_.wait(kWait).has_value()) << host_.output();
        }
    }

    ChildProcess startHost(const holm::test::TempDir& data) const {
        auto started = ChildProcess::start(
            {HOLM_AVHOLM_PROGRAM, utf8(product_ / "plugins.xml"), "--run-for", "3600"},
            environment(data));
        EXPECT_TRUE(started.ok()) << started.error().message();
        if (!started) {
            return {};
        }
        EXPECT_TRUE(started->waitForOutput("avholm: running", kWait)) << started->output();
        return std::move(*started);
    }

    std::vector<std::string> environment(const holm::test::TempDir& data) const {
        return {"HOLM_DATA_DIR=" + utf8(data.path()) + "/",
                "HOLM_REGISTRY_DIR=" + utf8(data.path()) + "/registry",
                "HOLM_RUNTIME_DIR=" + utf8(runtime_.path())};
    }

    ProcessResult ctl(const std::vector<std::string>& arguments) const {
        std::vector<std::string> line{HOLM_CTL_PROGRAM};
        line.insert(line.end(), arguments.begin(), arguments.end());
        return holm::platform::runProcess(line, environment(data_), kWait);
    }

    // Sends `request` whole, ends the sending and reads the answer.
    std::string ask(const std::string& request) const {
        auto connection = holm::platform::connectLocal(pipe_);
        if (!connection) {
            return "[no connection: " + connection.error().message() + "]";
        }
        (void)holm::platform::sendFull(connection->get(), request);
        EXPECT_TRUE(holm::platform::shutdownSending(connection->get()));
        return answerOf(connection->get());
    }

    const fs::path product_ = fs::path(HOLM_AVHOLM_PROGRAM).parent_path();
    holm::test::TempDir data_;
    holm::test::TempDir runtime_;
    ChildProcess host_;
    std::string pipe_;
};

// The messages name what the host uses on this system.
TEST_F(HolmCtlTest, HostNamesItsPipeAndNoLinuxFacility) {
    const std::string& output = host_.output();
    EXPECT_EQ(output.find("logind"), std::string::npos) << output;
    EXPECT_EQ(output.find("/run/holm"), std::string::npos) << output;
    EXPECT_EQ(output.find("control socket"), std::string::npos) << output;
    // A host run from a console hears of no session changes, and says so
    // in Windows' terms.
    EXPECT_TRUE(host_.waitForOutput(": session changes are not forwarded", kWait))
        << host_.output();
    EXPECT_EQ(host_.output().find("logind"), std::string::npos) << host_.output();

    const ProcessResult help = ctl({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("\\\\.\\pipe\\holm-control"), std::string::npos) << help.output;
    EXPECT_EQ(help.output.find("/run/holm"), std::string::npos) << help.output;
}

TEST_F(HolmCtlTest, StatusReloadAndTestStepRoundTrip) {
    const ProcessResult table = ctl({"status"});
    ASSERT_EQ(table.exitCode, 0) << table.output;
    EXPECT_NE(table.output.find("avholm (pid "), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("Plugin list: " + utf8(product_ / "plugins.xml")),
              std::string::npos)
        << table.output;

    const ProcessResult json = ctl({"status", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.output;
    EXPECT_NE(json.output.find("\"state\":\"running\""), std::string::npos) << json.output;
    for (const char* name : {"demo", "async", "ini", "Holm/Gateway/1.0"}) {
        EXPECT_NE(json.output.find("{\"name\":\"" + std::string(name) + "\""), std::string::npos)
            << name << "\n"
            << json.output;
    }
    EXPECT_NE(json.output.find("\"name\":\"demo\",\"file\":"), std::string::npos);

    const ProcessResult reload = ctl({"reload"});
    EXPECT_EQ(reload.exitCode, 0) << reload.output;
    EXPECT_NE(reload.output.find("reloaded the configuration in "), std::string::npos)
        << reload.output;
    // The peer is this user: uid 0 in the backend's terms.
    EXPECT_TRUE(host_.waitForOutput("reloading the configuration (holm-ctl, uid 0, pid ", kWait))
        << host_.output();

    const ProcessResult test = ctl({"test", "demo", "from ctl"});
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_NE(test.output.find("demo: test passed"), std::string::npos) << test.output;
    EXPECT_TRUE(host_.waitForOutput("PM(demo): test(from ctl) = true", kWait)) << host_.output();
    EXPECT_EQ(ctl({"test", "nosuch"}).exitCode, 5);
}

// A second host finds the name served and goes on without a pipe; the
// first one keeps it and answers.
TEST_F(HolmCtlTest, ASecondHostIsRefusedTheName) {
    holm::test::TempDir otherData;
    ChildProcess second = startHost(otherData);
    ASSERT_TRUE(second.valid());
    EXPECT_NE(second.output().find("no control pipe at " + pipe_ + ": "), std::string::npos)
        << second.output();
    EXPECT_NE(second.output().find("another process listens there"), std::string::npos)
        << second.output();

    const ProcessResult status = ctl({"status"});
    ASSERT_EQ(status.exitCode, 0) << status.output;
    // The answer comes from the first host: the plugin list its log shows
    // running, and its own pid.
    const size_t at = status.output.find("avholm (pid ");
    ASSERT_NE(at, std::string::npos) << status.output;
    const std::string pid = status.output.substr(at + 12, status.output.find(')', at) - at - 12);
    second.sendSignal(holm::platform::ChildSignal::Terminate);
    (void)second.wait(kWait);
    // Still served after the second host ended: it never held the name.
    const ProcessResult again = ctl({"status"});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_NE(again.output.find("avholm (pid " + pid + ")"), std::string::npos) << again.output;
}

// A client that goes away before its request is whole, or before it takes
// the answer, costs the host nothing: it serves the next one.
TEST_F(HolmCtlTest, APeerThatLeavesMidRequestHarmsNothing) {
    for (const std::string& part : {std::string("sta"), std::string(), std::string(20000, 's')}) {
        auto connection = holm::platform::connectLocal(pipe_);
        ASSERT_TRUE(connection.ok()) << connection.error().message();
        if (!part.empty()) {
            ASSERT_TRUE(holm::platform::sendFull(connection->get(), part));
        }
    }  // closed without ending the request
    {
        auto connection = holm::platform::connectLocal(pipe_);
        ASSERT_TRUE(connection.ok()) << connection.error().message();
        ASSERT_TRUE(holm::platform::sendFull(connection->get(), std::string("status\0", 7)));
        ASSERT_TRUE(holm::platform::shutdownSending(connection->get()));
    }  // closed without reading the answer
    EXPECT_TRUE(ask(std::string("status\0", 7)).starts_with("ok\nhost\t"));
    const ProcessResult status = ctl({"status"});
    EXPECT_EQ(status.exitCode, 0) << status.output;
}

// What holm-ctl never sends gets an error answer, and the host serves on.
TEST_F(HolmCtlTest, MalformedRequestsGetAClearError) {
    for (const std::string& request :
         {std::string("bogus\0", 6), std::string("status\0extra\0", 13), std::string(),
          std::string("test\0", 5), std::string(70000, 'x')}) {
        const std::string answer = ask(request);
        EXPECT_TRUE(answer.starts_with("error\tbad-request\t")) << answer;
    }
    EXPECT_EQ(ask(std::string(70000, 'x')), "error\tbad-request\trequest too long\n");
    EXPECT_EQ(ctl({"status"}).exitCode, 0);
}

TEST(HolmCtl, UsageErrorsAndAnAbsentHost) {
    holm::test::TempDir nobody;
    const std::vector<std::string> environment{"HOLM_RUNTIME_DIR=" + utf8(nobody.path())};
    const auto run = [&](const std::vector<std::string>& arguments) {
        std::vector<std::string> line{HOLM_CTL_PROGRAM};
        line.insert(line.end(), arguments.begin(), arguments.end());
        return holm::platform::runProcess(line, environment, kWait);
    };
    EXPECT_EQ(run({}).exitCode, 2);
    EXPECT_EQ(run({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(run({"test"}).exitCode, 2);
    const ProcessResult absent = run({"status"});
    EXPECT_EQ(absent.exitCode, 3) << absent.output;
    EXPECT_NE(absent.output.find("avholm is not running (no answer at \\\\.\\pipe\\holm-control-"),
              std::string::npos)
        << absent.output;
}

}  // namespace
