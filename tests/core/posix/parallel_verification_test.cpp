// A plugin list's libraries are verified on several cores while loading
// follows the list, each library from the descriptor that was verified, as
// soon as its own check is done.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/support/host_harness.h"
#include "support/signing_support.h"
#include "support/test_support.h"

namespace {

using holm::test::plugin;

using holm::test::coreEntry;
using holm::test::CorePtr;
using holm::test::RecordingHandler;
namespace fs = std::filesystem;

class ParallelVerification : public ::testing::Test {
  protected:
    void SetUp() override {
        recordFile_ = directory_.path() / "calls.txt";
        holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", recordFile_.c_str());
    }
    void TearDown() override {
        core_.reset();
        holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", nullptr);
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
        core_.reset(coreEntry()(fs::path(list).u16string().c_str(), &handler_, nullptr));
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
                names.push_back(fs::path(name).string());
            }
        }
        return names;
    }

    holm::test::TempDir directory_;
    fs::path recordFile_;
    RecordingHandler handler_;
    CorePtr core_;
};

// More entries than cores, good and refused ones interleaved: whatever order
// the checks finish in, plugins are made, and failures logged, in list order.
TEST_F(ParallelVerification, PluginsAreMadeAndFailuresLoggedInListOrder) {
    const std::string refused[] = {plugin("unsigned"), plugin("tampered"), plugin("absent")};
    std::vector<std::vector<std::string>> entries;
    std::vector<std::string> made;
    std::vector<std::string> failed;
    for (int i = 0; i < 24; ++i) {
        const std::string name = "p" + std::to_string(i);
        if (i % 4 == 1) {
            entries.push_back({name, refused[i % 3]});
            failed.push_back(name);
        } else {
            entries.push_back({name, plugin("ok")});
            made.push_back(name + ":getHlmPlugin2");
        }
    }
    EXPECT_EQ(runAndStop(entries), 0u);
    EXPECT_EQ(calls("getHlmPlugin2"), made);
    EXPECT_EQ(refusedInLogOrder(), failed);
}

// The first plugin, while it is being made, renames an unsigned library over
// the second one's file. The second's check runs before or after that,
// depending on the cores: either it checked the signed original, and its
// verified descriptor (not the path) is what the loader maps, so the original
// runs; or it saw the unsigned file and refused it before any of its code ran.
// The unsigned file never runs.
TEST_F(ParallelVerification, OnlyTheLibraryThatWasVerifiedIsLoaded) {
    const fs::path first = directory_.path() / "libfirst.so";
    const fs::path second = directory_.path() / "libsecond.so";
    for (const auto& copy : {first, second}) {
        fs::copy_file(plugin("ok"), copy);
        holm::test::signFileWith(copy, holm::test::productSigningKey());
    }
    fs::copy_file(plugin("wrong_version"), second.string() + ".new");

    runAndStop(
        {{"first", first.string(), "replace=" + second.string()}, {"second", second.string()}});
    EXPECT_EQ(calls("replace"), std::vector<std::string>{"first:replace:done"});
    if (refusedInLogOrder().empty()) {
        EXPECT_EQ(calls("load"), (std::vector<std::string>{"first:load", "second:load"}));
    } else {
        EXPECT_EQ(refusedInLogOrder(), std::vector<std::string>{"second"});
        EXPECT_EQ(calls("getHlmPlugin2"), std::vector<std::string>{"first:getHlmPlugin2"});
    }
}

}  // namespace
