// Nothing unverified runs or is read, on Linux: the loader against files
// exchanged under its feet (renamed over the open or loaded file, which
// Windows refuses), plugins that would pull in unverified libraries through
// ELF run paths, auxiliary and filter libraries, and the master texts read
// only from what was verified while their file is renamed over.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "core/plugin_lifecycle.h"
#include "core/plugin_manager.h"
#include "core/support/host_harness.h"
#include "core/support/loader_fixture.h"
#include "platform/shared_library.h"
#include "platform/spawn.h"
#include "security/dependency_rule.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "utilities/master_text_reader.h"
#include "utilities/resource_text_file.h"

namespace {

namespace fs = std::filesystem;
using holm::core::CPluginLifecycle;
using holm::core::CPluginManager;
using holm::test::LoaderTest;

const fs::path kPluginDirectory = HOLM_TEST_PLUGIN_DIR;

// "Already loaded" is the identity of the file the kernel has mapped: a file
// renamed over the path of a library loaded by path is a new file, and is
// verified like one. The shortcut still needs the owner and mode rules.
TEST_F(LoaderTest, AFileRenamedOverALoadedLibraryIsVerifiedAgain) {
    const fs::path path = copyPlugin("libok.so", "libloaded.so");  // unsigned
    auto loaded = holm::platform::SharedLibrary::open(path);
    ASSERT_TRUE(loaded) << loaded.error().message;

    // The mapped file itself passes: what runs is what is already mapped.
    EXPECT_EQ(add(path), CPluginLifecycle::kAdded);
    lifecycle_.destroyAll();

    const fs::path impostor = copyPlugin("libfail_load.so", "impostor.so");
    fs::rename(impostor, path);
    std::string why;
    EXPECT_EQ(lifecycle_.addPlugin({u"p", path.u16string(), u""}, &why),
              CPluginLifecycle::kSelftestFailed);
    EXPECT_NE(why.find("no signature"), std::string::npos) << why;
    EXPECT_EQ(calls().find("fail_load:"), std::string::npos) << calls();

    // A loaded file that others may write is no longer what was checked.
    const fs::path open = copyPlugin("libok.so", "libopen.so");
    auto openLoaded = holm::platform::SharedLibrary::open(open);
    ASSERT_TRUE(openLoaded) << openLoaded.error().message;
    fs::permissions(open, fs::perms::others_write, fs::perm_options::add);
    EXPECT_EQ(lifecycle_.addPlugin({u"p", open.u16string(), u""}, &why),
              CPluginLifecycle::kSelftestFailed);
    EXPECT_NE(why.find("writable by group or others"), std::string::npos) << why;
}

// A signed plugin may not bring in what was never verified: a run path
// outside the system library directories, "$ORIGIN" included, is refused
// before anything is loaded, and the log says why beside the required line.
TEST_F(LoaderTest, PluginsWithARunPathOutsideTheSystemDirectoriesAreRefused) {
    lifecycle_.loadList(
        {{u"elsewhere", (kPluginDirectory / "librunpath_elsewhere.so").u16string(), u""},
         {u"origin", (kPluginDirectory / "librunpath_origin.so").u16string(), u""}});
    EXPECT_EQ(lifecycle_.count(), 0u);
    for (const std::u16string name : {u"elsewhere", u"origin"}) {
        EXPECT_TRUE(
            host_.logged(u"Unable to load plugin '" + name + u"'. Error: Selftest failed."));
    }
    EXPECT_TRUE(host_.logged(u"PM(elsewhere): " + kPluginDirectory.u16string() +
                             u"/librunpath_elsewhere.so: its run path names \"" +
                             (kPluginDirectory / "dependencies").u16string() +
                             u"\", which is not a system library directory"));
    EXPECT_TRUE(host_.logged(u"PM(origin): " + kPluginDirectory.u16string() +
                             u"/librunpath_origin.so: its run path names \"$ORIGIN\""));
    EXPECT_EQ(calls(), "");  // neither the plugins nor their dependency ran
}

// Exchanges the file at `target` between two prepared files, by renaming
// fresh hard links over it, until stopped.
class Swapper {
  public:
    Swapper(fs::path target, fs::path first, fs::path second)
        : thread_([this, target, first, second] {
              const fs::path staging = target.parent_path() / ".staging";
              for (bool useFirst = true; !stop_; useFirst = !useFirst) {
                  fs::create_hard_link(useFirst ? first : second, staging);
                  fs::rename(staging, target);
                  ++swaps_;
              }
          }) {}
    ~Swapper() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int swaps() const { return swaps_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<int> swaps_{0};
    std::thread thread_;
};

constexpr auto kRaceLength = std::chrono::milliseconds(1500);

// The loader verifies and loads while the plugin's file is exchanged between
// a signed plugin and an unsigned one of other code: only the signed one ever
// runs.
TEST_F(LoaderTest, OnlyVerifiedCodeRunsWhileTheFileIsExchanged) {
    const fs::path target = copyPlugin("libok.so", "libswap.so");
    holm::test::signFileWith(target, holm::test::productSigningKey());
    const fs::path signedCopy = directory_.path() / "signed";
    fs::create_hard_link(target, signedCopy);
    const fs::path unsignedCopy = copyPlugin("libfail_load.so", "unsigned");

    int loads = 0;
    int refusals = 0;
    {
        Swapper swapper(target, unsignedCopy, signedCopy);
        const auto end = std::chrono::steady_clock::now() + kRaceLength;
        while (std::chrono::steady_clock::now() < end) {
            const int32_t result = add(target);
            ASSERT_TRUE(result == CPluginLifecycle::kAdded ||
                        result == CPluginLifecycle::kSelftestFailed ||
                        result == CPluginLifecycle::kLoadFailed)
                << result;
            (result == CPluginLifecycle::kAdded ? loads : refusals)++;
            lifecycle_.destroyAll();
        }
        swapper.stop();
        std::cout << "[          ] " << loads << " loads, " << refusals << " refusals, "
                  << swapper.swaps() << " swaps\n";
    }
    fs::rename(signedCopy, target);
    EXPECT_EQ(add(target), CPluginLifecycle::kAdded);
    const std::string record = calls();
    EXPECT_EQ(record.find("fail_load:"), std::string::npos) << "unverified code ran";
    EXPECT_NE(record.find("ok:getHlmPlugin2"), std::string::npos) << record;
}

// The master texts are read from the bytes that were verified, while their
// file is exchanged between signed texts and unsigned ones.
TEST(MasterTextRace, OnlyVerifiedTextsAreReadWhileTheFileIsExchanged) {
    using Tandro::Utilities::MasterTextError;
    using Tandro::Utilities::MasterTextReader;
    using Tandro::Utilities::ResourceTextFile;
    holm::test::TempDir directory;
    fs::permissions(directory.path(), fs::perms::owner_all);
    const auto write = [&](const std::string& name, const std::u16string& value) {
        const auto bytes = ResourceTextFile::encode({{1, u"Library$#FN_CFGLIB$" + value}});
        return directory.write(
            name, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    };
    const fs::path target = write("CommonTextRc.dll", u"signed.so");
    holm::test::signFileWith(target, holm::test::productSigningKey());
    const fs::path signedCopy = directory.path() / "signed";
    fs::create_hard_link(target, signedCopy);
    const fs::path unsignedCopy = write("unsigned", u"unsigned.so");

    int reads = 0;
    int refusals = 0;
    Swapper swapper(target, unsignedCopy, signedCopy);
    const auto end = std::chrono::steady_clock::now() + kRaceLength;
    while (std::chrono::steady_clock::now() < end) {
        try {
            const auto texts = MasterTextReader::openInDirectory(directory.path().u16string());
            ASSERT_EQ(texts->getText(u"#FN_CFGLIB"), u"signed.so");
            ++reads;
        } catch (const MasterTextError&) {
            ++refusals;
        }
    }
    swapper.stop();
    std::cout << "[          ] " << reads << " reads, " << refusals << " refusals\n";
}

// What the loader maps for `library`, as the loader itself reports it: its
// trace of the files it maps while listing the library's dependencies
// (auxiliary and filter libraries included, which the list leaves out),
// each by the path the list resolves its name to. The loader itself is left
// out, and so is the library.
std::set<std::string> loaderMaps(const fs::path& library) {
    const auto run =
        holm::platform::runProcess({"/lib64/ld-linux-x86-64.so.2", "--list", library.string()},
                                   {"LD_DEBUG=files"}, std::chrono::seconds(30));
    std::map<std::string, std::string> paths;
    std::vector<std::string> names;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (const size_t arrow = line.find(" => "); arrow != std::string::npos) {
            const size_t start = line.find_first_not_of(" \t");
            const size_t end = line.find(" (", arrow);
            paths[line.substr(start, arrow - start)] = line.substr(arrow + 4, end - arrow - 4);
        } else if (const size_t file = line.find("file=");
                   file != std::string::npos &&
                   line.find("generating link map") != std::string::npos) {
            names.push_back(line.substr(file + 5, line.find(" [", file) - file - 5));
        }
    }
    std::set<std::string> mapped;
    for (size_t i = 1; i < names.size(); ++i) {  // the first is the library itself
        const std::string path =
            names[i].find('/') != std::string::npos ? names[i] : paths[names[i]];
        if (path.find("/ld-linux") == std::string::npos) {
            mapped.insert(path);
        }
    }
    return mapped;
}

std::set<std::string> ruleMaps(const fs::path& library,
                               const holm::security::DependencyRule& rule = {}) {
    std::set<std::string> mapped;
    for (const std::string& path : holm::security::resolveDependencies(library.string(), rule)) {
        if (path.find("/ld-linux") == std::string::npos) {
            mapped.insert(path);
        }
    }
    return mapped;
}

// A copy of `library` whose dynamic array starts with DT_STRTAB and DT_STRSZ
// and whose PT_DYNAMIC header claims only those two entries: the loader still
// reads up to DT_NULL through the mapped segment.
fs::path truncatedDynamicCopy(const fs::path& library, const fs::path& target) {
    std::string bytes = holm::test::bytesOf(library);
    auto at = [&](size_t offset, auto value) {
        std::memcpy(&value, bytes.data() + offset, sizeof value);
        return value;
    };
    const auto headers = at(32, uint64_t{});
    const auto count = at(56, uint16_t{});
    for (size_t i = 0; i < count; ++i) {
        const size_t header = headers + i * 56;
        if (at(header, uint32_t{}) != 2) {  // PT_DYNAMIC
            continue;
        }
        const auto offset = at(header + 8, uint64_t{});
        std::vector<std::array<uint64_t, 2>> entries;
        for (size_t e = offset;; e += 16) {
            entries.push_back({at(e, uint64_t{}), at(e + 8, uint64_t{})});
            if (entries.back()[0] == 0) {
                break;
            }
        }
        std::stable_partition(entries.begin(), entries.end(), [](const auto& entry) {
            return entry[0] == 5 || entry[0] == 10;  // DT_STRTAB, DT_STRSZ
        });
        std::memcpy(bytes.data() + offset, entries.data(), entries.size() * 16);
        const uint64_t shortSize = 32;
        std::memcpy(bytes.data() + header + 32, &shortSize, sizeof shortSize);
    }
    std::ofstream(target, std::ios::binary) << bytes;
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    holm::test::signFileWith(target, holm::test::productSigningKey());
    return target;
}

// A library may pull in no unverified code by an auxiliary or filter library,
// by a dynamic segment that hides part of its dynamic section, or through a
// dependency of a dependency: each is refused with its reason before anything
// runs.
TEST_F(LoaderTest, EveryWayToNameAnUnverifiedLibraryIsRefused) {
    const fs::path truncated = truncatedDynamicCopy(kPluginDirectory / "librunpath_elsewhere.so",
                                                    directory_.path() / "librunpath_elsewhere.so");
    const fs::path dependency = kPluginDirectory / "dependencies" / "libholm_test_dependency.so";
    const std::pair<fs::path, std::string> cases[] = {
        {kPluginDirectory / "libauxiliary.so",
         "it names its auxiliary library \"" + dependency.string() + "\" by path"},
        {kPluginDirectory / "libfilter.so",
         "it names its filter library \"" + dependency.string() + "\" by path"},
        {truncated, "its dynamic segment is shorter than its dynamic section"},
        {kPluginDirectory / "libdeep.so", "its run path names \"" +
                                              (kPluginDirectory / "system").string() +
                                              "\", which is not a system library directory"},
    };
    for (const auto& [library, reason] : cases) {
        std::string why;
        EXPECT_EQ(lifecycle_.addPlugin({u"p", library.u16string(), u""}, &why),
                  CPluginLifecycle::kSelftestFailed)
            << library;
        EXPECT_TRUE(why.starts_with(library.string() + ": " + reason)) << why;
    }

    // With test-plugins/system taken for a system library directory, the
    // root-owned library there passes, and the unsigned one it names is
    // refused.
    holm::core::LifecycleContext context;
    context.host = &host_;
    context.owner = &owner_;
    context.systemLibraries = holm::security::systemLibraryDirectories();
    context.systemLibraries.push_back((kPluginDirectory / "system").string());
    lifecycle_.setContext(context);
    std::string why;
    EXPECT_EQ(
        lifecycle_.addPlugin({u"p", (kPluginDirectory / "libdeep.so").u16string(), u""}, &why),
        CPluginLifecycle::kSelftestFailed);
    EXPECT_NE(why.find("its dependency \"libholm_test_middle.so\" (" +
                       (kPluginDirectory / "system").string() +
                       "/libholm_test_middle.so): its dependency \"libholm_test_dependency.so\" (" +
                       dependency.string() +
                       "): it is neither a root-owned library of a system library directory"),
              std::string::npos)
        << why;
    EXPECT_NE(why.find("nor signed for this role (no signature)"), std::string::npos) << why;
    EXPECT_EQ(calls(), "");  // no plugin, no unverified library ran
}

// What the rule follows is what the loader maps, for each of those libraries
// and for an ordinary plugin.
TEST_F(LoaderTest, TheRuleSeesWhatTheLoaderMaps) {
    const fs::path truncated = truncatedDynamicCopy(kPluginDirectory / "librunpath_elsewhere.so",
                                                    directory_.path() / "librunpath_elsewhere.so");
    for (const fs::path& library :
         {kPluginDirectory / "libauxiliary.so", kPluginDirectory / "libfilter.so", truncated,
          kPluginDirectory / "libdeep.so", kPluginDirectory / "libok.so"}) {
        const auto expected = loaderMaps(library);
        EXPECT_FALSE(expected.empty()) << library;
        EXPECT_EQ(ruleMaps(library), expected) << library;
    }
    EXPECT_TRUE(
        ruleMaps(kPluginDirectory / "libauxiliary.so")
            .contains((kPluginDirectory / "dependencies" / "libholm_test_dependency.so").string()));
}

}  // namespace
