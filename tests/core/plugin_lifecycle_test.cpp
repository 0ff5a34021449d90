// The lifecycle and the event reporter over a facade of the test's own, with
// a configuration provider the core does not have yet.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "core/event_log.h"
#include "core/plugin_lifecycle.h"
#include "core/plugin_manager.h"
#include "core/support/host_harness.h"
#include "services/log_impl.h"
#include "support/stub_config.h"
#include "support/test_support.h"

namespace {

using namespace HlmPlg;
using holm::core::CPluginLifecycle;
using holm::core::CPluginManager;
using holm::core::EventReporter;

// Its report directory (getAppDataSubDir) is what the tests set.
using FakeConfig = holm::test::StubConfig;

// Provides a configuration (1) whose report directory the test sets and
// real logs (18) without a dispatcher.
class Provider : public CHlmPlg {
  public:
    IInterface* createInterface(int32_t id) override {
        if (id == IID_CONFIG) {
            auto* config = new FakeConfig();
            config->appDataSubDir = logDirectory;
            return config;
        }
        if (id == IID_LOG) {
            return new holm::services::CHlmPlgLogImpl(nullptr, {nullptr, [](HlmPlg::IAsync*) {}});
        }
        return nullptr;
    }

    std::u16string logDirectory = u"/data/LOGFILES/";
};

TEST(PluginLifecycle, PluginsNotInstalledAreRemovedWalkingFromTheEnd) {
    holm::test::TempDir directory;
    const auto record = directory.path() / "calls.txt";
    holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", record.c_str());
    Provider provider;
    CHlmPlg owner;
    holm::test::RecordingHandler host;
    CPluginManager manager;
    manager.registerProvider(IID_CONFIG, &provider);
    CPluginLifecycle lifecycle(manager);
    lifecycle.setContext({&host, nullptr, nullptr, nullptr, &owner, ""});
    const std::u16string installed = u"" HOLM_TEST_PLUGIN_DIR "/libok" HOLM_TEST_PLUGIN_SUFFIX;
    const std::u16string notInstalled =
        u"" HOLM_TEST_PLUGIN_DIR "/libnot_installed" HOLM_TEST_PLUGIN_SUFFIX;
    lifecycle.loadList({{u"a", installed, u"name=a"},
                        {u"b", notInstalled, u"name=b"},
                        {u"c", installed, u"name=c"},
                        {u"d", notInstalled, u"name=d"}});
    ASSERT_EQ(lifecycle.count(), 4u);

    lifecycle.removeNotInstalled();
    ASSERT_EQ(lifecycle.count(), 2u);
    EXPECT_EQ(lifecycle.plugin(0).name(), u"a");
    EXPECT_EQ(lifecycle.plugin(1).name(), u"c");
    EXPECT_EQ(lifecycle.plugin(0).libraryName(), u"libok" HOLM_TEST_PLUGIN_SUFFIX);
    EXPECT_EQ(manager.liveInterfaceCount(), 0u);  // the configuration went back
    EXPECT_TRUE(host.logged(u"Core: PM(d): unloading ... (not installed)"));
    EXPECT_TRUE(host.logged(u"Core: PM(b): unloading ... (not installed)"));

    std::vector<std::string> calls;
    std::ifstream in(record);
    for (std::string line; std::getline(in, line);) {
        if (!line.ends_with(":getHlmPlugin2")) {  // made while the list loaded
            calls.push_back(line);
        }
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"d:isInstalled", "d:destructor", "c:isInstalled",
                                               "b:isInstalled", "b:destructor", "c:isInstalled",
                                               "a:isInstalled"}));
    holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", nullptr);
}

TEST(PluginLifecycle, EmptyListAndNoConfigurationChangeNothing) {
    CPluginManager manager;
    CHlmPlg owner;
    CPluginLifecycle lifecycle(manager);
    lifecycle.setContext({nullptr, nullptr, nullptr, nullptr, &owner, ""});
    lifecycle.removeNotInstalled();
    EXPECT_EQ(lifecycle.callAll(holm::core::Phase::Start, false), 0u);
    EXPECT_EQ(lifecycle.currentPhase(), holm::core::Phase::Start);
    EXPECT_FALSE(lifecycle.handleCmdLine());
}

// The report log's lines as UTF-8, without the byte-order mark and line ends.
std::vector<std::string> reportLines(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string content = bytes.str();
    std::u16string text;
    for (size_t i = 2; i + 1 < content.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(content[i]) |
                                             static_cast<uint8_t>(content[i + 1]) << 8));
    }
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(u"\r\n", start)) != std::u16string::npos; start = end + 2) {
        lines.push_back(holm::common::utf16ToUtf8(text.substr(start, end - start)));
    }
    return lines;
}

// The reporter binds per event: the logs a plugin opens on the same file
// share the reporter's writer, and a new report directory takes effect at
// the next event.
TEST(EventReporter, EventsShareTheWriterOfTheHostLogAndFollowTheDirectory) {
    holm::test::TempDir directory;
    Provider provider;
    provider.logDirectory = holm::common::utf8ToUtf16(directory.path().string() + "/");
    CHlmPlg owner;
    CPluginManager manager;
    manager.registerProvider(IID_CONFIG, &provider);
    manager.registerProvider(IID_LOG, &provider);
    EventReporter reporter(manager, "/usr/sbin/avholm");
    reporter.setOwner(&owner);
    const auto path = directory.path() / "avholm.log";

    holm::services::CHlmPlgLogImpl first(nullptr, {nullptr, [](HlmPlg::IAsync*) {}});
    holm::services::CHlmPlgLogImpl second(nullptr, {nullptr, [](HlmPlg::IAsync*) {}});
    ASSERT_TRUE(first.open(holm::common::utf8ToUtf16(path.string()).c_str(), 1, 0, false));
    ASSERT_TRUE(second.open(holm::common::utf8ToUtf16(path.string()).c_str(), 1, 0, false));
    reporter.report({holm::core::kFailureEvent, 583, u"", u"/p/a\n.so", 3});
    first.logText(1, 0, 0, u"first");
    reporter.report(
        {holm::core::kSuccessEvent, 0, u"Plugin %s has been stopped successfully!", u"a", 0});
    second.logText(1, 0, 0, u"second");
    EXPECT_EQ(manager.liveInterfaceCount(), 0u);  // released after each event

    auto lines = reportLines(path);
    ASSERT_EQ(lines.size(), 3u);  // level 2 is above the default reporting level 1
    EXPECT_TRUE(lines[0].ends_with(" [ERROR] Message 583: /p/a\\n.so (3)")) << lines[0];
    EXPECT_EQ(lines[1], "first");
    EXPECT_EQ(lines[2], "second");

    const auto moved = directory.path() / "moved";
    std::filesystem::create_directory(moved);
    provider.logDirectory = holm::common::utf8ToUtf16(moved.string() + "/");
    reporter.report({holm::core::kFailureEvent, 582, u"", u"b", 5});
    EXPECT_EQ(reportLines(moved / "avholm.log").size(), 1u);
    EXPECT_EQ(reportLines(path).size(), 3u);

    EventReporter other(manager, "/usr/bin/core_tests");
    other.setOwner(&owner);
    other.report({holm::core::kFailureEvent, 583, u"", u"x", 1});
    EXPECT_FALSE(std::filesystem::exists(directory.path() / "core_tests.log"));
}

}  // namespace
