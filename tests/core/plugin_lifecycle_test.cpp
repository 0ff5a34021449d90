// The lifecycle and the event reporter over a facade of the test's own, with
// a configuration provider the core does not have yet.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/plugin_lifecycle.h"
#include "core/plugin_manager.h"
#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace {

using namespace HlmPlg;
using holm::core::CPluginLifecycle;
using holm::core::CPluginManager;
using holm::core::EventLine;
using holm::core::EventLogSettings;
using holm::core::EventLogWriter;
using holm::core::EventReporter;

class FakeConfig : public IConfig {
  public:
    bool registerHandler(IHandler*) override { return false; }
    bool unregisterHandler(IHandler*) override { return false; }
    const char16_t* getProductDirectory() override { return u"/product/"; }
    const char16_t* getDataDirectory() override { return u"/data/"; }
    const char16_t* getAppDataSubDir(const char16_t*) override { return u"/data/LOGFILES/"; }
    const char16_t* getReportPath(const char16_t*) override { return u""; }
    const char16_t* getTempDirectory() override { return u"/tmp/"; }
    const char16_t* getWindowsDirectory() override { return u"/"; }
    const char16_t* getSystemDirectory() override { return u"/usr/lib/"; }
    bool isModuleAvailable(uint32_t) override { return false; }
    bool isModuleUnavailable(uint32_t) override { return false; }
    bool isFeatureEnabled(uint32_t) override { return false; }
    bool isFeatureDisabled(uint32_t) override { return false; }
    const char16_t* readString(const char16_t*, const char16_t*,
                               const char16_t* defaultValue) override {
        return defaultValue;
    }
    IStringList* readList(const char16_t*, const char16_t*, const char16_t*,
                          const char16_t*) override {
        return nullptr;
    }
    const char16_t* readScrambledString(const char16_t*, const char16_t*) override { return u""; }
    int32_t readInt(const char16_t*, const char16_t*, int32_t defaultValue) override {
        return defaultValue;
    }
    uint32_t readHex(const char16_t*, const char16_t*, uint32_t defaultValue) override {
        return defaultValue;
    }
    bool readBool(const char16_t*, const char16_t*, bool defaultValue) override {
        return defaultValue;
    }
    const char16_t* readRegistryString(uint32_t, const char16_t*, const char16_t*) override {
        return u"";
    }
    int32_t readRegistryDword(uint32_t, const char16_t*, const char16_t*) override { return 0; }
    const char16_t* readProductRegistryString(const char16_t*) override { return u""; }
    int32_t readProductRegistryDword(const char16_t*) override { return 0; }
    bool writeRegistryString(uint32_t, const char16_t*, const char16_t*, const char16_t*) override {
        return false;
    }
    bool writeRegistryDword(uint32_t, const char16_t*, const char16_t*, int32_t) override {
        return false;
    }
    bool writeProductRegistryString(const char16_t*, const char16_t*) override { return false; }
    bool writeProductRegistryDword(const char16_t*, int32_t) override { return false; }
    const char16_t* unscramble(const char16_t* text) override { return text; }
};

// Provides a configuration (1) and a bare object standing for the log (18).
class Provider : public CHlmPlg {
  public:
    IInterface* createInterface(int32_t id) override {
        if (id == IID_CONFIG) {
            return new FakeConfig();
        }
        return id == IID_LOG ? new IInterface() : nullptr;
    }
};

TEST(PluginLifecycle, PluginsNotInstalledAreRemovedWalkingFromTheEnd) {
    holm::test::TempDir directory;
    const auto record = directory.path() / "calls.txt";
    ::setenv("HOLM_TEST_PLUGIN_LOG", record.c_str(), 1);
    Provider provider;
    CHlmPlg owner;
    holm::test::RecordingHandler host;
    CPluginManager manager;
    manager.registerProvider(IID_CONFIG, &provider);
    CPluginLifecycle lifecycle(manager);
    lifecycle.setContext({&host, nullptr, nullptr, nullptr, &owner, ""});
    const std::u16string installed = u"" HOLM_TEST_PLUGIN_DIR "/libok.so";
    const std::u16string notInstalled = u"" HOLM_TEST_PLUGIN_DIR "/libnot_installed.so";
    lifecycle.loadList({{u"a", installed, u"name=a"},
                        {u"b", notInstalled, u"name=b"},
                        {u"c", installed, u"name=c"},
                        {u"d", notInstalled, u"name=d"}});
    ASSERT_EQ(lifecycle.count(), 4u);

    lifecycle.removeNotInstalled();
    ASSERT_EQ(lifecycle.count(), 2u);
    EXPECT_EQ(lifecycle.plugin(0).name(), u"a");
    EXPECT_EQ(lifecycle.plugin(1).name(), u"c");
    EXPECT_EQ(lifecycle.plugin(0).libraryName(), u"libok.so");
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
    ::unsetenv("HOLM_TEST_PLUGIN_LOG");
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

class Writer : public EventLogWriter {
  public:
    explicit Writer(std::vector<EventLine>& lines) : lines_(lines) {}
    void write(const EventLine& line) override { lines_.push_back(line); }

  private:
    std::vector<EventLine>& lines_;
};

TEST(EventReporter, OneWriterServesEveryEventOfAServiceHost) {
    Provider provider;
    CHlmPlg owner;
    CPluginManager manager;
    manager.registerProvider(IID_CONFIG, &provider);
    manager.registerProvider(IID_LOG, &provider);
    std::vector<EventLine> lines;
    std::vector<EventLogSettings> bindings;
    auto factory = [&](IInterface* log, const EventLogSettings& settings) {
        EXPECT_NE(log, nullptr);
        bindings.push_back(settings);
        return std::make_unique<Writer>(lines);
    };
    {
        EventReporter reporter(manager, "/usr/sbin/avholm");
        reporter.setOwner(&owner);
        reporter.setWriterFactory(factory);
        reporter.report({holm::core::kFailureEvent, 583, u"", u"/p/a.so", 3});
        reporter.report(
            {holm::core::kSuccessEvent, 0, u"Plugin %s has been stopped successfully!", u"a", 0});
        EXPECT_EQ(manager.liveInterfaceCount(), 2u);  // held for the reporter's life
    }
    EXPECT_EQ(manager.liveInterfaceCount(), 0u);
    ASSERT_EQ(bindings.size(), 1u);
    EXPECT_EQ(bindings[0].path, u"/data/LOGFILES/avholm.log");
    EXPECT_EQ(bindings[0].level, 1);
    EXPECT_EQ(bindings[0].maximumSize, 104857600u);
    EXPECT_TRUE(bindings[0].backup);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].kind.category, 3u);
    EXPECT_EQ(lines[0].messageId, 583u);
    EXPECT_EQ(lines[1].kind.level, 2u);

    EventReporter other(manager, "/usr/bin/core_tests");
    other.setOwner(&owner);
    other.setWriterFactory(factory);
    other.report({holm::core::kFailureEvent, 583, u"", u"x", 1});
    EXPECT_EQ(bindings.size(), 1u);
    EXPECT_EQ(manager.liveInterfaceCount(), 0u);
}

}  // namespace
