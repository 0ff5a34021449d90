// A core's plugin loader as the trust suites drive it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/plugin_lifecycle.h"
#include "core/plugin_manager.h"
#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace holm::test {

// A core's plugin loader with a recording host, a private plugin directory
// (mode 0700) and the test plugins' call record.
class LoaderTest : public ::testing::Test {
  protected:
    LoaderTest() {
        std::filesystem::permissions(directory_.path(), std::filesystem::perms::owner_all);
        setEnvironment("HOLM_TEST_PLUGIN_LOG", record_);
        lifecycle_.setContext({&host_, nullptr, nullptr, nullptr, &owner_, ""});
    }
    ~LoaderTest() override {
        lifecycle_.destroyAll();
        setEnvironment("HOLM_TEST_PLUGIN_LOG", nullptr);
    }

    // A copy of a built test plugin under `name` in the private directory.
    std::filesystem::path copyPlugin(const std::string& plugin, const std::string& name) const {
        const std::filesystem::path target = directory_.path() / name;
        std::filesystem::copy_file(std::filesystem::path(HOLM_TEST_PLUGIN_DIR) / plugin, target,
                                   std::filesystem::copy_options::overwrite_existing);
        return target;
    }

    int32_t add(const std::filesystem::path& library) {
        return lifecycle_.addPlugin({u"p", library.u16string(), u""});
    }

    // Every call any test plugin recorded, one per line.
    std::string calls() const {
        std::ifstream in(record_);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    TempDir directory_;
    TempDir recordDirectory_;
    std::filesystem::path record_ = recordDirectory_.path() / "calls.txt";
    RecordingHandler host_;
    HlmPlg::CHlmPlg owner_;
    core::CPluginManager manager_;
    core::CPluginLifecycle lifecycle_{manager_};
};

}  // namespace holm::test
