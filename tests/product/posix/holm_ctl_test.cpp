// holm-ctl against avholm running the real core with the example plugins of
// both generations and a plugin that fails to start, in a runtime directory
// of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
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

constexpr std::chrono::seconds kWait{60};

class HolmCtlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The example list, with a plugin that fails to start at its end.
        std::ifstream in(product_ / "plugins.xml");
        std::stringstream text;
        text << in.rdbuf();
        std::string list = text.str();
        const size_t end = list.find("</plugins>");
        ASSERT_NE(end, std::string::npos);
        list.insert(end, "<plugin name=\"failing\" file=\"" +
                             (fs::path(HOLM_TEST_PLUGIN_DIR) / "libfail_start.so").string() +
                             "\" params=\"name=failing\"/>\n");
        listFile_ = lists_.write("plugins.xml", list);
        fs::permissions(listFile_, fs::perms::owner_read | fs::perms::owner_write);
        fs::permissions(lists_.path(), fs::perms::owner_all);
        // Another user must reach the socket to be refused by the host.
        fs::permissions(runtime_.path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);

        auto started =
            ChildProcess::start({HOLM_AVHOLM_PROGRAM, listFile_.string()}, environment());
        ASSERT_TRUE(started.ok()) << started.error().message();
        host_ = std::move(*started);
        ASSERT_TRUE(host_.waitForOutput("avholm: running", kWait)) << host_.output();
        ASSERT_NE(host_.output().find("avholm: control socket " + runtime_.path().string()),
                  std::string::npos)
            << host_.output();
    }

    void TearDown() override {
        if (host_.valid()) {
            host_.sendSignal(holm::platform::ChildSignal::Terminate);
            EXPECT_EQ(host_.wait(kWait), 0) << host_.output();
        }
    }

    std::vector<std::string> environment() const {
        return {"HOLM_DATA_DIR=" + data_.path().string() + "/",
                "HOLM_REGISTRY_DIR=" + data_.path().string() + "/registry",
                "HOLM_RUNTIME_DIR=" + runtime_.path().string()};
    }

    ProcessResult ctl(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& prefix = {}) const {
        std::vector<std::string> line = prefix;
        line.push_back(HOLM_CTL_PROGRAM);
        line.insert(line.end(), arguments.begin(), arguments.end());
        return holm::platform::runProcess(line, environment(), kWait);
    }

    const fs::path product_ = fs::path(HOLM_AVHOLM_PROGRAM).parent_path();
    holm::test::TempDir data_;
    holm::test::TempDir lists_;
    holm::test::TempDir runtime_;
    fs::path listFile_;
    ChildProcess host_;
};

TEST_F(HolmCtlTest, StatusShowsEveryPluginOfBothGenerations) {
    const ProcessResult table = ctl({"status"});
    ASSERT_EQ(table.exitCode, 0) << table.output;
    EXPECT_NE(table.output.find("avholm (pid "), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("Plugin list: " + listFile_.string()), std::string::npos)
        << table.output;
    EXPECT_NE(table.output.find("failed to start (code "), std::string::npos) << table.output;

    const ProcessResult json = ctl({"status", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.output;
    const auto status = nlohmann::json::parse(json.output);
    EXPECT_GT(status["host"]["pid"].get<int>(), 0);
    EXPECT_EQ(status["host"]["list"], listFile_.string());
    EXPECT_EQ(status["host"]["state"], "running");
    std::map<std::string, nlohmann::json> plugins;
    for (const auto& plugin : status["plugins"]) {
        plugins[plugin["name"].get<std::string>()] = plugin;
        EXPECT_TRUE(plugin["since"].get<std::string>().ends_with("Z")) << plugin;
    }
    for (const char* name : {"demo", "async", "settings", "ini", "bridge", "scanner"}) {
        ASSERT_TRUE(plugins.contains(name)) << name << "\n" << json.output;
        EXPECT_EQ(plugins[name]["state"], "started") << plugins[name];
        EXPECT_EQ(plugins[name]["generation"], 1);
        EXPECT_TRUE(plugins[name]["version"].get<std::string>().starts_with("4.")) << plugins[name];
        EXPECT_FALSE(plugins[name]["start_failed"].get<bool>());
    }
    const auto& failing = plugins["failing"];
    EXPECT_EQ(failing["state"], "loaded") << failing;
    EXPECT_TRUE(failing["start_failed"].get<bool>()) << failing;
    EXPECT_EQ(failing["file"], (fs::path(HOLM_TEST_PLUGIN_DIR) / "libfail_start.so").string());
    for (const char* name : {"Holm/Gateway/1.0", "Holm/DemoGateway/1.0"}) {
        ASSERT_TRUE(plugins.contains(name)) << name << "\n" << json.output;
        EXPECT_EQ(plugins[name]["generation"], 2);
        EXPECT_TRUE(plugins[name]["version"].is_null());
    }
}

// The host answers root and its own user only.
TEST_F(HolmCtlTest, AnotherUserIsRefused) {
    if (!fs::exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "setpriv is not installed";
    }
    const ProcessResult refused =
        ctl({"status"}, {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    if (refused.exitCode == 126 || refused.exitCode == 127) {
        GTEST_SKIP() << "user 65534 cannot run holm-ctl from the build tree: " << refused.output;
    }
    EXPECT_EQ(refused.exitCode, 4) << refused.output;
    EXPECT_NE(refused.output.find("access denied"), std::string::npos) << refused.output;
    EXPECT_EQ(refused.output.find("demo"), std::string::npos) << refused.output;
    EXPECT_TRUE(host_.waitForOutput("control request refused: uid 65534", kWait)) << host_.output();
    // Refusals that follow soon after are counted, not each logged: another
    // user cannot flood the service's log.
    for (int again = 0; again < 3; ++again) {
        EXPECT_EQ(ctl({"status"},
                      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"})
                      .exitCode,
                  4);
    }
    // The host serves on afterwards; the line of the reload follows every
    // line the refusals wrote.
    EXPECT_EQ(ctl({"status"}).exitCode, 0);
    EXPECT_EQ(ctl({"reload"}).exitCode, 0);
    ASSERT_TRUE(host_.waitForOutput("reloading the configuration (holm-ctl", kWait))
        << host_.output();
    const std::string output = host_.output();
    size_t lines = 0;
    for (size_t at = 0; (at = output.find("control request refused", at)) != std::string::npos;
         ++at) {
        ++lines;
    }
    EXPECT_EQ(lines, 1u) << output;
}

TEST_F(HolmCtlTest, ReloadAndTestStepRunInTheHost) {
    const ProcessResult reload = ctl({"reload"});
    EXPECT_EQ(reload.exitCode, 0) << reload.output;
    EXPECT_NE(reload.output.find("reloaded the configuration in "), std::string::npos)
        << reload.output;
    EXPECT_TRUE(host_.waitForOutput("settings: the configuration was reloaded", kWait))
        << host_.output();

    const ProcessResult test = ctl({"test", "demo", "from ctl"});
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_NE(test.output.find("demo: test passed"), std::string::npos) << test.output;
    EXPECT_TRUE(host_.waitForOutput("PM(demo): test(from ctl) = true", kWait)) << host_.output();

    // A test step that returns false fails the command; an unknown plugin
    // has its own code.
    const ProcessResult all = ctl({"test", "all"});
    EXPECT_EQ(all.exitCode, 0) << all.output;
    EXPECT_NE(all.output.find("scanner: test "), std::string::npos) << all.output;
    EXPECT_EQ(ctl({"test", "nosuch"}).exitCode, 5);
}

// What holm-ctl never sends gets an error answer, and the host serves on.
TEST_F(HolmCtlTest, RequestsTheHostDoesNotKnowGetAnError) {
    const std::string path = (runtime_.path() / "control").string();
    for (const std::string& request :
         {std::string("bogus\0", 6), std::string("status\0extra\0", 13), std::string(),
          std::string(70000, 'x')}) {
        auto connection = holm::platform::connectLocal(path);
        ASSERT_TRUE(connection.ok()) << connection.error().message();
        (void)holm::platform::sendFull(connection->get(), request);  // a long one may be cut off
        ASSERT_TRUE(holm::platform::shutdownSending(connection->get()));
        std::string answer;
        uint8_t buffer[256];
        for (;;) {
            const auto got = holm::platform::io::readSome(connection->get(), buffer);
            if (!got || *got == 0) {
                break;
            }
            answer.append(reinterpret_cast<const char*>(buffer), *got);
        }
        EXPECT_TRUE(answer.starts_with("error\tbad-request\t")) << answer;
    }
    EXPECT_EQ(ctl({"status"}).exitCode, 0);
}

TEST(HolmCtl, UsageErrorsAndAnAbsentHost) {
    holm::test::TempDir empty;
    const std::vector<std::string> environment{"HOLM_RUNTIME_DIR=" + empty.path().string()};
    const auto run = [&](const std::vector<std::string>& arguments) {
        std::vector<std::string> line{HOLM_CTL_PROGRAM};
        line.insert(line.end(), arguments.begin(), arguments.end());
        return holm::platform::runProcess(line, environment, kWait);
    };
    EXPECT_EQ(run({}).exitCode, 2);
    EXPECT_EQ(run({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(run({"reload", "--json"}).exitCode, 2);
    EXPECT_EQ(run({"test"}).exitCode, 2);
    EXPECT_EQ(run({"test", "a", "b", "c"}).exitCode, 2);
    const ProcessResult help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("Exit codes:"), std::string::npos);
    const ProcessResult absent = run({"status"});
    EXPECT_EQ(absent.exitCode, 3) << absent.output;
    EXPECT_NE(absent.output.find("avholm is not running"), std::string::npos) << absent.output;
}

}  // namespace
