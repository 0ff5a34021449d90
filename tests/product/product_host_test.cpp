// The host program with the real core and the product's example plugins, and
// with plugin lists of the test's own: what it loads, what it refuses, and
// what it reports.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "product/support/host_fixture.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::platform::ProcessResult;
using holm::test::kHostDeadline;
using holm::test::utf8;

// A module of the build by its name ("demo_service" -> libdemo_service.dll
// on Windows).
std::string moduleFile(const char* name) {
    return std::string("lib") + name + HOLM_TEST_PLUGIN_SUFFIX;
}

// The whole product as the main job runs it: avholm verifies and loads the
// real core from its descriptor, and the core loads the example plugins from
// theirs (so two modules' loaders share descriptor numbers).
TEST(ProductDemo, ExamplePluginsLoadStartTestAndStop) {
    holm::test::TempDir data;
    // The plugin "settings" reads [DEMO] through the configuration library;
    // a value it does not find reads as its default.
    data.write("holm.conf", "[DEMO]\nGreeting = from the test\nTargets = /a,/b\n");
    const fs::path product = fs::path(HOLM_AVHOLM_PROGRAM).parent_path();
    const ProcessResult result = holm::platform::runProcess(
        {HOLM_AVHOLM_PROGRAM, utf8(product / "plugins.xml"), "--run-for", "0", "/test=all=hello"},
        {"HOLM_DATA_DIR=" + utf8(data.path()) + "/",
         "HOLM_REGISTRY_DIR=" + utf8(data.path()) + "/registry"},
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
    EXPECT_NE(result.output.find("ini: run 1 recorded in " + utf8(data.path())), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("demo.ini (block mode), read back 1 (profile mode)"),
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

// avholm with the real core and its product directory, in a data directory
// of the test's own.
class ProductHostTest : public ::testing::Test {
  protected:
    ProcessResult run(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment = {}) const {
        std::vector<std::string> line{HOLM_AVHOLM_PROGRAM};
        line.insert(line.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment{
            "HOLM_DATA_DIR=" + utf8(data_.path()) + "/",
            "HOLM_REGISTRY_DIR=" + utf8(data_.path()) + "/registry"};
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        return holm::platform::runProcess(line, environment, kHostDeadline);
    }

    // A list file the host and the core accept unsigned: writable by its
    // owner only, in a directory writable by its owner only.
    std::string writeList(const std::string& content) const {
        const fs::path path = lists_.write("plugins.xml", content);
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        fs::permissions(lists_.path(), fs::perms::owner_all);
        return utf8(path);
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
                      utf8(examples_ / moduleFile("demo_service"))});
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
             "@XMLFILE:name=kept;file=" + utf8(plugins / moduleFile("ok")) + ";params=name=kept" +
                 "|name=absent;file=" + utf8(plugins / moduleFile("not_installed")) +
                 ";params=name=absent"},
            {"HOLM_TEST_PLUGIN_LOG=" + utf8(calls)});
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
    for (const std::string& name : {moduleFile("holmcore"), std::string("holmmsg.dll")}) {
        fs::copy_file(built / name, product / name);
        fs::copy_file(built / (name + ".sig"), product / (name + ".sig"));
    }
    const fs::path texts = product / "CommonTextRc.dll";
    fs::copy_file(built / "CommonTextRc.dll", texts);
    {
        std::fstream file(texts, std::ios::in | std::ios::out | std::ios::binary);
        file.write("XXXX", 4);  // the magic
    }
    const ProcessResult signing = holm::platform::runProcess(
        {HOLM_SIGN_PROGRAM, "sign", "--key", HOLM_DEVELOPMENT_KEY, utf8(texts)}, {}, kHostDeadline);
    ASSERT_EQ(signing.exitCode, 0) << signing.output;

    const ProcessResult result = holm::platform::runProcess(
        {HOLM_AVHOLM_PROGRAM, "--run-for", "0", "@XMLFILE:"},
        {"HOLM_PRODUCT_DIR=" + utf8(product) + "/", "HOLM_DATA_DIR=" + utf8(data_.path()) + "/",
         "HOLM_REGISTRY_DIR=" + utf8(data_.path()) + "/registry"},
        kHostDeadline);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    // The core names the file as it joins it to the product directory given.
    EXPECT_NE(result.output.find("NOTICE Core: Warning: the master texts in '" + utf8(product) +
                                 "/CommonTextRc.dll" +
                                 "' cannot be read (not a resource text file: wrong magic)"),
              std::string::npos)
        << result.output;
}

}  // namespace
