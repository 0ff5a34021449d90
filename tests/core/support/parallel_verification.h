// A core run over an inline plugin list with the test plugins' call record,
// for the suites on parallel verification.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace holm::test {

class ParallelVerification : public ::testing::Test {
  protected:
    void SetUp() override {
        recordFile_ = directory_.path() / "calls.txt";
        setEnvironment("HOLM_TEST_PLUGIN_LOG", recordFile_);
    }
    void TearDown() override {
        core_.reset();
        setEnvironment("HOLM_TEST_PLUGIN_LOG", nullptr);
    }

    // Runs and stops a core over "name=<name>;file=<file>;params=name=<name>,<options>" entries.
    uint32_t runAndStop(const std::vector<std::vector<std::string>>& entries) {
        std::string list = "@XMLFILE:";
        for (size_t i = 0; i < entries.size(); ++i) {
            const auto& e = entries[i];
            list +=
                (i == 0 ? "" : "|") + ("name=" + e[0] + ";file=" + e[1] + ";params=name=" + e[0] +
                                       (e.size() > 2 ? "," + e[2] : ""));
        }
        core_.reset(coreEntry()(common::utf8ToUtf16(list).c_str(), &handler_, nullptr));
        EXPECT_NE(core_, nullptr);
        const uint32_t result = core_->run(true);
        core_->stop();
        return result;
    }
    // The recorded plugin calls "<name>:<call>[:<argument>]" of one kind.
    std::vector<std::string> calls(const std::string& kind) const {
        std::vector<std::string> selected;
        std::ifstream in(recordFile_);
        for (std::string line; std::getline(in, line);) {
            const size_t colon = line.find(':');
            if (line.compare(colon + 1, kind.size(), kind) == 0) {
                selected.push_back(line);
            }
        }
        return selected;
    }
    // The names in the "Unable to load plugin '<name>'" lines, in log order.
    std::vector<std::string> refusedInLogOrder() const {
        const std::u16string prefix = u"Core: Unable to load plugin '";
        std::vector<std::string> names;
        for (const auto& line : handler_.logLines()) {
            if (line.rfind(prefix, 0) == 0) {
                const auto name =
                    line.substr(prefix.size(), line.find(u'\'', prefix.size()) - prefix.size());
                names.push_back(std::filesystem::path(name).string());
            }
        }
        return names;
    }

    TempDir directory_;
    std::filesystem::path recordFile_;
    RecordingHandler handler_;
    CorePtr core_;
};

}  // namespace holm::test
