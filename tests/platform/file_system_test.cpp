// Names and directories whose rules are the same on every system: the
// Windows wildcard rules of listings, prefix listings, the temporary and
// system directories, and a rename that must not replace.
#include "platform/file_system.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> sortedNamesMatching(const std::string& directory,
                                             const std::string& pattern) {
    std::vector<std::string> names;
    auto entries = enumerate(directory, pattern);
    EXPECT_TRUE(entries.ok()) << entries.error().message();
    for (const DirectoryEntry& entry : entries.valueOr({})) {
        names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PatternTest, WindowsWildcardRules) {
    struct Case {
        const char* name;
        const char* pattern;
        bool matches;
    };
    const Case cases[] = {
        {"readme", "*.*", true},
        {"a.txt", "*.TXT", true},
        {"a.txt", "?.txt", true},
        {"ab.txt", "?.txt", false},
        {"\xc3\xa9.txt", "?.txt", true},  // one character, two bytes
        {"", "*", true},
        {"", "?", false},
        {"abc", "a*c", true},
        {"ac", "a*c", true},
        {"ab", "a*c", false},
        {"mississippi", "*sip*", true},
        {"x.tar.gz", "*.gz", true},
        {"x.tar.gz", "*.tar", false},
        {"\xc3\x89", "\xc3\xa9", false},  // only A-Z fold
        {"abc", "ab", false},
        {"ab", "abc", false},
        {"aaa", "a**a", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(matchesPattern(c.name, c.pattern), c.matches) << c.name << " ~ " << c.pattern;
    }
}

TEST(PatternTest, EnumerateReturnsMatchingEntriesWithTypes) {
    test::TempDir dir;
    for (const char* name : {"a.txt", "B.TXT", "readme", "x.tar.gz"}) {
        dir.write(name, "x");
    }
    fs::create_directory(dir.path() / "sub.txt");
    const std::string path = test::utf8(dir.path());

    EXPECT_EQ(sortedNamesMatching(path, "*.txt"),
              (std::vector<std::string>{"B.TXT", "a.txt", "sub.txt"}));
    EXPECT_EQ(sortedNamesMatching(path, "*.*").size(), 5u);
    EXPECT_EQ(sortedNamesMatching(path, "READ??"), std::vector<std::string>{"readme"});
    EXPECT_TRUE(sortedNamesMatching(path, "*.doc").empty());

    auto all = enumerate(path, "*");
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all->size(), 5u);
    for (const DirectoryEntry& entry : *all) {
        const FileType expected =
            entry.name == "sub.txt" ? FileType::kDirectory : FileType::kRegular;
        EXPECT_EQ(entry.type, expected) << entry.name;
    }
    auto missing = enumerate(path + "/missing", "*");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().windowsError(), WinError::kPathNotFound);
}

// The prefix is compared as it stands and with its case; the rest of the
// name is counted in characters, not bytes.
TEST(PatternTest, PrefixEnumerationTakesThePrefixLiterally) {
    test::TempDir dir;
    for (const char* name : {"AB_12345678", "XB_12345678", "ab_87654321", "AB_1234567",
                             "AB_123456789", "AB_1234567\xc3\xa4"}) {
        fs::create_directory(dir.path() / test::pathOfUtf8(name));
    }
    const std::string path = test::utf8(dir.path());
    auto entries = enumerateWithPrefix(path, "AB_", 8);
    ASSERT_TRUE(entries.ok());
    std::vector<std::string> names;
    for (const DirectoryEntry& entry : *entries) {
        EXPECT_EQ(entry.type, FileType::kDirectory);
        names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"AB_12345678", "AB_1234567\xc3\xa4"}));

    // Wildcard characters in the prefix match only themselves.
    for (const char* prefix : {"A?_", "*_", "A*"}) {
        auto wild = enumerateWithPrefix(path, prefix, 8);
        ASSERT_TRUE(wild.ok()) << prefix;
        EXPECT_TRUE(wild->empty()) << prefix;
    }
    auto missing = enumerateWithPrefix(path + "/missing", "A", 1);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().windowsError(), WinError::kPathNotFound);
}

TEST(FileSystemTest, TemporaryAndSystemDirectoriesEndInOneSlash) {
    for (const std::string& directory : {temporaryDirectory(), systemDirectory()}) {
        ASSERT_GE(directory.size(), 2u);
        EXPECT_EQ(directory.back(), '/');
        EXPECT_NE(directory[directory.size() - 2], '/') << directory;
        EXPECT_TRUE(isDirectory(directory)) << directory;
    }
}

TEST(FileSystemTest, ANameTakenForRenameNoReplaceIsAlreadyExists) {
    test::TempDir temp;
    const auto from = temp.write("from", "a");
    const auto to = temp.write("to", "b");
    const Status taken = renameNoReplace(test::utf8(from), test::utf8(to));
    EXPECT_EQ(taken.windowsError(), WinError::kAlreadyExists);
    EXPECT_EQ(taken.error().errnoValue(), EEXIST);
    EXPECT_EQ(test::bytesOf(from), "a");
    EXPECT_EQ(test::bytesOf(to), "b");
}

}  // namespace
}  // namespace holm::platform
