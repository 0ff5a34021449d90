// The second plugin manager over the second-generation test plugin
// (tests/plugins/plugin2_test_plugin.cpp), loaded through the real loader.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "gateway/support/plugin_manager2_fixture.h"
#include "platform/errors.h"
#include "platform/process_info.h"
#include "platform/spawn.h"

namespace {

using holm::gateway::LegacyBridge;
using holm::gateway::PluginManager2;
using holm::test::entry;
using holm::test::kDeadlineMs;
using holm::test::kPluginPath;
using holm::test::PluginControls;
using holm::test::PluginManager2Test;
using holm::test::testPlugin;

// Every failed load gives its code and an event with message 2 naming the
// file, leaves nothing loaded and releases what the library handed over.
TEST_F(PluginManager2Test, LoadFailuresGiveTheirCodesAndEvents) {
    struct Case {
        holm::core::PluginListEntry entry;
        uint32_t code;
    };
    const std::vector<Case> cases = {
        {entry(testPlugin("missing"), "Test/Plain/1.0"), 2},
        {entry(testPlugin("unsigned"), "Test/Plain/1.0"), 1244},
        {entry(testPlugin("ok"), "Test/Plain/1.0"), 127},  // no PluginFactory
        {entry(kPluginPath, "Test/Unknown/1.0"), 8},       // no root
        {entry(kPluginPath, "Test/OtherName/1.0"), 1804},
        {entry(kPluginPath, "Test/ThrowInit/1.0"), 1064},
        {entry(kPluginPath, "Test/InitCode/1.0"), 87},
    };
    std::vector<holm::core::PluginListEntry> entries;
    for (const Case& c : cases) {
        entries.push_back(c.entry);
    }
    ASSERT_EQ(initialize(entries), 0u);
    EXPECT_EQ(manager_->count(), 0u);

    const auto lines = events_.lines();
    ASSERT_EQ(lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(lines[i].messageId, 2u);
        EXPECT_EQ(lines[i].kind.level, 1u);
        EXPECT_EQ(lines[i].code, cases[i].code) << i;
        EXPECT_EQ(lines[i].insertion, cases[i].entry.file);
    }
    const std::string journal = controls_.journal();
    EXPECT_EQ(journal,
              "OtherName:~Root;ThrowInit:init;ThrowInit:~Root;InitCode:init;InitCode:~Root;");
}

TEST(PluginManager2WithoutBridge, InitializeLoadsNothing) {
    PluginControls controls;
    ASSERT_FALSE(LegacyBridge::exists());
    HlmPlg::RefPtr<PluginManager2> manager(PluginManager2::create());
    holm::core::SecondGenerationContext context;
    EXPECT_EQ(manager->initialize({entry(kPluginPath, "Test/Plain/1.0")}, context), 8u);
    EXPECT_EQ(manager->count(), 0u);
    EXPECT_EQ(controls.journal(), "");
}

// A plugin marked available in its init answers at once and is never
// started or stopped by the manager; another answers only once started.
TEST_F(PluginManager2Test, AvailableAfterInitAnswersBeforeStart) {
    ASSERT_EQ(initialize({"Test/Early/1.0", "Test/Plain/1.0"}), 0u);
    EXPECT_TRUE(answers("Test/Early/1.0"));
    EXPECT_FALSE(answers("Test/Plain/1.0"));
    EXPECT_FALSE(answers("Test/Missing/1.0"));

    manager_->start(true);
    EXPECT_TRUE(answers("Test/Plain/1.0"));
    manager_->stop();
    EXPECT_FALSE(answers("Test/Plain/1.0"));
    EXPECT_TRUE(answers("Test/Early/1.0"));

    const std::string journal = controls_.journal();
    EXPECT_EQ(journal.find("Early:start"), std::string::npos) << journal;
    EXPECT_EQ(journal.find("Early:stop"), std::string::npos) << journal;
    EXPECT_NE(journal.find("Plain:start;Plain:onStarted;"), std::string::npos) << journal;
    // Objects handed out by the test were released right away.
    EXPECT_NE(journal.find("Plain:createObject:Thing;Plain:~Thing;"), std::string::npos);
}

// A failed start leaves the plugin loaded and reported (582 with its code);
// the next start tries again. Stop and unload walk the list backwards.
TEST_F(PluginManager2Test, FailedStartIsRetriedAndPassesRunBackwards) {
    ASSERT_EQ(initialize({"Test/Plain/1.0", "Test/FailStart/1.0"}), 0u);
    manager_->start(true);
    EXPECT_FALSE(answers("Test/FailStart/1.0"));
    manager_->start(true);
    EXPECT_TRUE(answers("Test/FailStart/1.0"));

    const auto lines = events_.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].messageId, 582u);
    EXPECT_EQ(lines[1].code, 5u);
    EXPECT_EQ(lines[1].insertion, u"Test/FailStart/1.0");

    controls_.reset();
    manager_->unload();
    EXPECT_EQ(controls_.journal(),
              "FailStart:stop;Plain:stop;FailStart:uninit;FailStart:~Root;Plain:uninit;"
              "Plain:~Root;");
    EXPECT_EQ(manager_->count(), 0u);
}

// Unload does not wait for a createObject in flight: the plugin is uninit
// at once, and its root goes only when that call has returned.
TEST_F(PluginManager2Test, UnloadWhileCreateObjectIsInFlight) {
    ASSERT_EQ(initialize({"Test/BlockCreate/1.0"}), 0u);
    auto creating = std::async(std::launch::async, [&] {
        return manager_->createObject("Test/BlockCreate/1.0", "Block");
    });
    ASSERT_TRUE(controls_.waitFor("BlockCreate:createObject:Block", kDeadlineMs));
    manager_->unload();
    EXPECT_EQ(manager_->count(), 0u);
    EXPECT_EQ(controls_.journal().find("~Root"), std::string::npos);

    controls_.openGate();
    HlmPlg::IPluginObject2* made = creating.get();
    ASSERT_NE(made, nullptr);
    made->release();
    EXPECT_EQ(controls_.journal(),
              "BlockCreate:init;BlockCreate:createObject:Block;BlockCreate:uninit;"
              "BlockCreate:created:Block;BlockCreate:~Root;BlockCreate:~Thing;");
}

// A plugin that does not return from start holds up neither a createObject
// nor an unload past the limit; its uninit follows once start returns.
TEST_F(PluginManager2Test, BusyPluginIsWaitedForOnlyUpToTheLimit) {
    ASSERT_EQ(initialize({"Test/BlockStart/1.0"}), 0u);
    manager_->setBusyWaitLimit(std::chrono::milliseconds(20));
    auto starting = std::async(std::launch::async, [&] { manager_->start(true); });
    ASSERT_TRUE(controls_.waitFor("BlockStart:start", kDeadlineMs));

    holm::platform::setLastError(0);
    EXPECT_EQ(manager_->createObject("Test/BlockStart/1.0", "Thing"), nullptr);
    EXPECT_EQ(holm::platform::lastError(), PluginManager2::kBusyTimeout);
    manager_->unload();
    EXPECT_EQ(manager_->count(), 0u);
    const auto lines = events_.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().code, PluginManager2::kBusyTimeout);

    controls_.openGate();
    starting.get();
    EXPECT_EQ(controls_.journal(),
              "BlockStart:init;BlockStart:start;BlockStart:started;BlockStart:uninit;"
              "BlockStart:~Root;");
}

// The core library itself, listed with the gateway's factory name, loads as
// a second-generation plugin and serves the gateway's objects.
TEST_F(PluginManager2Test, CoreLibraryServesTheGateway) {
    ASSERT_EQ(initialize({entry(HOLM_CORE_LIBRARY, "Holm/Gateway/1.0")}), 0u);
    ASSERT_EQ(manager_->count(), 1u);
    EXPECT_TRUE(events_.lines().empty());
    {
        HlmPlg::RefPtr<HlmPlg::IPluginObject2> object(
            manager_->createObject("Holm/Gateway/1.0", "IConfig"));
        auto* config = dynamic_cast<HlmPlg::IHP2ObjConfig*>(object.get());
        ASSERT_NE(config, nullptr);
        EXPECT_EQ(std::u16string(config->readString(u"DEMO", u"Greeting", u"")), u"hello");
        EXPECT_EQ(core_.liveObjects(HlmPlg::IID_CONFIG), 2);  // the gateway's and this one
    }
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_CONFIG), 1);
    manager_->unload();
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_CONFIG), 0);
}

// addRef and release give the count they leave; the last release destroys
// the manager.
TEST(PluginManager2Counts, AddRefAndReleaseGiveTheNewCount) {
    PluginManager2* manager = PluginManager2::create();
    EXPECT_EQ(manager->addRef(), 2u);
    EXPECT_EQ(manager->addRef(), 3u);
    EXPECT_EQ(manager->release(), 2u);
    EXPECT_EQ(manager->release(), 1u);
    EXPECT_EQ(manager->release(), 0u);
}

// An unload that gives up on a plugin still in its call reports that as a
// failure, with the busy code.
TEST_F(PluginManager2Test, AnUnloadThatLeavesABusyPluginBehindReportsAFailure) {
    ASSERT_EQ(initialize({"Test/BlockStart/1.0"}), 0u);
    manager_->setBusyWaitLimit(std::chrono::milliseconds(20));
    auto starting = std::async(std::launch::async, [&] { manager_->start(true); });
    ASSERT_TRUE(controls_.waitFor("BlockStart:start", kDeadlineMs));
    manager_->unload();
    const auto lines = events_.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().code, PluginManager2::kBusyTimeout);
    EXPECT_EQ(lines.back().kind.level, 1u);  // a failure
    EXPECT_EQ(lines.back().insertion, u"Test/BlockStart/1.0");
    controls_.openGate();
    starting.get();
}

}  // namespace

namespace {

// A root that faults in init or createObject: the child process prints what
// the manager made of it and that it went on.
TEST(Plugin2FaultInChild, Run) {
    if (std::getenv("HOLM_PLUGIN2_FAULT_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as a child of Plugin2Faults";
    }
    LegacyBridge bridge(nullptr);
    holm::test::FakeCore core;
    holm::test::EventRecorder events;
    HlmPlg::RefPtr<PluginManager2> manager(PluginManager2::create());
    holm::core::SecondGenerationContext context;
    context.core = &core;
    context.reportEvent = events.sink();
    ASSERT_EQ(manager->initialize({entry(kPluginPath, "Test/FaultInit/1.0"),
                                   entry(kPluginPath, "Test/FaultCreate/1.0")},
                                  std::move(context)),
              0u);
    std::printf("RESULT loaded=%zu", manager->count());
    for (const auto& line : events.lines()) {
        std::printf(" code=%u", line.code);
    }
    for (int i = 0; i < 2; ++i) {
        std::printf(" create=%s",
                    manager->createObject("Test/FaultCreate/1.0", "Thing") ? "object" : "null");
    }
    manager->unload();
    std::printf(" unloaded=%zu\n", manager->count());
}

TEST(Plugin2Faults, FaultsInInitAndCreateObjectAreContained) {
    auto result = holm::platform::runProcess(
        {holm::platform::executablePath(), "--gtest_filter=Plugin2FaultInChild.Run"},
        {"HOLM_PLUGIN2_FAULT_CHILD=1",
         "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
         "allow_user_segv_handler=1:detect_leaks=0"},
        std::chrono::seconds(120));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("RESULT loaded=1 code=1064 create=null create=null unloaded=0"),
              std::string::npos)
        << result.output;
}

}  // namespace
