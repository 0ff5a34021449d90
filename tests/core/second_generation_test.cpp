// The core's hooks for the second generation, through the real core library:
// "plugins2" entries load at run, start after every first-generation plugin
// started, and are stopped and unloaded by stop and by the error exit.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/support/host_harness.h"
#include "platform/shared_library.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::test::CorePtr;
using holm::test::RecordingHandler;

// The journal of the second-generation test plugin, read from the module the
// core loads.
class Plugin2Journal {
  public:
    Plugin2Journal() {
        auto opened = holm::platform::SharedLibrary::open(holm::test::plugin("plugin2"));
        EXPECT_TRUE(opened.ok());
        library_ = std::move(*opened);
        reinterpret_cast<void (*)()>(library_.symbol("plugin2TestReset"))();
        read_ = reinterpret_cast<void (*)(char*, size_t)>(library_.symbol("plugin2TestJournal"));
    }
    std::string text() const {
        std::string buffer(4096, '\0');
        read_(buffer.data(), buffer.size());
        return buffer.c_str();
    }

  private:
    holm::platform::SharedLibrary library_;
    void (*read_)(char*, size_t) = nullptr;
};

// A list with the given first-generation plugins (name, file) and the test
// plugin's "Test/Plain/1.0" as the second generation.
fs::path writeList(const holm::test::TempDir& dir,
                   const std::vector<std::pair<std::string, std::string>>& plugins) {
    std::string xml = "<holm><plugins>";
    for (const auto& [name, file] : plugins) {
        xml += "<plugin name=\"" + name + "\" file=\"" + file + "\" params=\"\"/>";
    }
    xml += "</plugins><plugins2><plugin name=\"plain\" file=\"" + holm::test::plugin("plugin2") +
           "\" params=\"Test/Plain/1.0\"/></plugins2></holm>";
    auto path = dir.write("plugins.xml", xml);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(dir.path(), fs::perms::owner_all);
    return path;
}

CorePtr makeCore(const fs::path& list, RecordingHandler& handler) {
    return CorePtr(holm::test::coreEntry()(list.u16string().c_str(), &handler, nullptr));
}

TEST(SecondGeneration, StartsAfterTheFirstAndStopsWithIt) {
    Plugin2Journal journal;
    holm::test::TempDir dir;
    RecordingHandler handler;
    CorePtr core = makeCore(
        writeList(dir, {{"bridge", HOLM_CORE_LIBRARY}, {"ok", holm::test::plugin("ok")}}), handler);
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(core->run(true), 0u);
    EXPECT_EQ(journal.text(), "Plain:init;Plain:start;Plain:onStarted;");
    EXPECT_EQ(core->stop(), 0u);
    EXPECT_EQ(journal.text(),
              "Plain:init;Plain:start;Plain:onStarted;Plain:stop;Plain:uninit;Plain:~Root;");
}

// A first-generation plugin that fails to load ends the run through the
// error exit, which unloads the second generation without starting it.
TEST(SecondGeneration, ErrorExitUnloadsIt) {
    Plugin2Journal journal;
    holm::test::TempDir dir;
    RecordingHandler handler;
    CorePtr core = makeCore(writeList(dir, {{"bridge", HOLM_CORE_LIBRARY},
                                            {"failing", holm::test::plugin("fail_load")}}),
                            handler);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->run(true), 202u);
    EXPECT_EQ(journal.text(), "Plain:init;Plain:uninit;Plain:~Root;");
}

// Without the legacy bridge the second generation loads nothing.
TEST(SecondGeneration, NothingLoadsWithoutTheBridge) {
    Plugin2Journal journal;
    holm::test::TempDir dir;
    RecordingHandler handler;
    CorePtr core = makeCore(writeList(dir, {{"ok", holm::test::plugin("ok")}}), handler);
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(core->run(true), 0u);
    EXPECT_EQ(journal.text(), "");
    EXPECT_TRUE(handler.logged(
        u"Core: PM2: the legacy bridge is not loaded; no second-generation plugin is loaded"));
    core->stop();
}

}  // namespace
