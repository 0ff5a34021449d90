// Only signed plugins run here too: a copy without its signature and a
// signed plugin changed after signing are refused before any of their code
// runs, each with its reason in the log, and the signed plugins of the same
// list still load.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/plugin_lifecycle.h"
#include "core/plugin_manager.h"
#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::core::CPluginLifecycle;
using holm::core::CPluginManager;

class WinTrust : public ::testing::Test {
  protected:
    WinTrust() {
        holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", record_);
        lifecycle_.setContext({&host_, nullptr, nullptr, nullptr, &owner_, ""});
    }
    ~WinTrust() override {
        lifecycle_.destroyAll();
        holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", nullptr);
    }

    std::string calls() const {
        std::ifstream in(record_);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    holm::test::TempDir directory_;
    holm::test::TempDir recordDirectory_;
    fs::path record_ = recordDirectory_.path() / "calls.txt";
    holm::test::RecordingHandler host_;
    HlmPlg::CHlmPlg owner_;
    CPluginManager manager_;
    CPluginLifecycle lifecycle_{manager_};
};

TEST_F(WinTrust, UnsignedAndTamperedPluginsAreRefusedBeforeTheyRun) {
    // The ok plugin's library copied without its signature file.
    const fs::path unsignedCopy = directory_.path() / "libcopy.dll";
    fs::copy_file(holm::test::plugin("ok"), unsignedCopy);
    lifecycle_.loadList({{u"u", unsignedCopy.u16string(), u"name=u"},
                         {u"t", holm::test::u16(holm::test::plugin("tampered")), u"name=t"},
                         {u"s", holm::test::u16(holm::test::plugin("ok")), u"name=s"}});

    EXPECT_TRUE(host_.logged(u"Unable to load plugin 'u'. Error: Selftest failed."));
    EXPECT_TRUE(host_.logged(u"libcopy.dll: no signature"));
    EXPECT_TRUE(host_.logged(u"Unable to load plugin 't'. Error: Selftest failed."));
    EXPECT_TRUE(host_.logged(u"libtampered.dll: the file size differs from the signed size"));
    ASSERT_EQ(lifecycle_.count(), 1u);
    EXPECT_EQ(lifecycle_.plugin(0).name(), u"s");
    // Only the signed plugin's code ran.
    EXPECT_EQ(calls().find("u:"), std::string::npos) << calls();
    EXPECT_EQ(calls().find("t:"), std::string::npos) << calls();
}

}  // namespace
