// The second plugin manager's fixture over the second-generation test plugin
// (tests/plugins/plugin2_test_plugin.cpp), loaded through the real loader.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/legacy_bridge.h"
#include "gateway/plugin_manager2.h"
#include "gateway/support/fake_core.h"
#include "platform/shared_library.h"

namespace holm::test {

using holm::gateway::LegacyBridge;
using holm::gateway::PluginManager2;
using holm::platform::SharedLibrary;

// A test plugin of tests/plugins by its name ("ok" -> <dir>/libok.dll on
// Windows), named as this system spells loadable modules.
inline std::string testPlugin(const std::string& name) {
    return std::string(HOLM_TEST_PLUGIN_DIR) + "/lib" + name + HOLM_TEST_PLUGIN_SUFFIX;
}

inline const std::string kPluginPath = testPlugin("plugin2");
inline constexpr int kDeadlineMs = 10000;

// The test plugin's controls, from the module the manager loads (a library
// loaded twice is one module).
struct PluginControls {
    PluginControls() {
        auto opened = SharedLibrary::open(kPluginPath);
        EXPECT_TRUE(opened.ok());
        library = std::move(*opened);
        reset = reinterpret_cast<void (*)()>(library.symbol("plugin2TestReset"));
        openGate = reinterpret_cast<void (*)()>(library.symbol("plugin2TestOpenGate"));
        journalInto =
            reinterpret_cast<void (*)(char*, size_t)>(library.symbol("plugin2TestJournal"));
        waitFor =
            reinterpret_cast<bool (*)(const char*, int)>(library.symbol("plugin2TestWaitFor"));
        reset();
    }
    std::string journal() const {
        std::string text(4096, '\0');
        journalInto(text.data(), text.size());
        return text.c_str();
    }

    SharedLibrary library;
    void (*reset)() = nullptr;
    void (*openGate)() = nullptr;
    void (*journalInto)(char*, size_t) = nullptr;
    bool (*waitFor)(const char*, int) = nullptr;
};

inline holm::core::PluginListEntry entry(const std::string& file, const std::string& factory) {
    return {u"entry", std::u16string(file.begin(), file.end()),
            std::u16string(factory.begin(), factory.end())};
}

class PluginManager2Test : public ::testing::Test {
  protected:
    void SetUp() override { manager_.reset(PluginManager2::create()); }
    void TearDown() override {
        controls_.openGate();  // nothing may stay blocked
        manager_->unload();
    }

    uint32_t initialize(std::vector<holm::core::PluginListEntry> entries) {
        holm::core::SecondGenerationContext context;
        context.core = &core_;
        context.reportEvent = events_.sink();
        return manager_->initialize(entries, std::move(context));
    }
    uint32_t initialize(std::initializer_list<const char*> factories) {
        std::vector<holm::core::PluginListEntry> entries;
        for (const char* factory : factories) {
            entries.push_back(entry(kPluginPath, factory));
        }
        return initialize(std::move(entries));
    }
    bool answers(const char* factory) {
        HlmPlg::RefPtr<HlmPlg::IPluginObject2> object(manager_->createObject(factory, "Thing"));
        return static_cast<bool>(object);
    }

    PluginControls controls_;
    LegacyBridge bridge_{nullptr};
    holm::test::FakeCore core_;
    holm::test::EventRecorder events_;
    HlmPlg::RefPtr<PluginManager2> manager_;
};

}  // namespace holm::test
