// The configuration updater's test fixture: a configuration file and a
// command file in a directory of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "product/cfgupdate/update_commands.h"
#include "support/test_support.h"

namespace holm::product::cfgupdate::fixture {

namespace fs = std::filesystem;

inline constexpr char kOriginal[] =
    "; product settings\r\n[COMMON]\r\nTempDirectory = /var/tmp/holm/\r\n\r\n"
    "[HOLM]\r\nReportingLevel=2\r\nPath0=/a\r\nObsolete=1\r\n";

inline std::string commandFile(const std::vector<std::string>& commands) {
    std::string text = "[UPDINI]\n";
    for (size_t i = 0; i < commands.size(); ++i) {
        text += "Cmd" + std::to_string(i) + "=" + commands[i] + "\n";
    }
    return text;
}

class CfgUpdateFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config_ = dir_.write("holm.conf", kOriginal);
        commands_ = dir_.path() / "commands.tmp";
    }
    UpdateResult update(const std::vector<std::string>& commands) {
        std::ofstream(commands_, std::ios::trunc) << commandFile(commands);
        return updateConfiguration(commands_.string(), config_.string());
    }

    holm::test::TempDir dir_;
    fs::path config_;
    fs::path commands_;
};

}  // namespace holm::product::cfgupdate::fixture
