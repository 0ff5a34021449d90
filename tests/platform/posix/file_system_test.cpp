#include "platform/file_system.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/process_info.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> namesMatching(const std::string& directory, const std::string& pattern) {
    std::vector<std::string> names;
    auto entries = enumerate(directory, pattern);
    EXPECT_TRUE(entries.ok()) << entries.error().message();
    for (const DirectoryEntry& entry : entries.valueOr({})) {
        names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void writeFile(const fs::path& path, const std::string& content = "x") {
    std::ofstream(path, std::ios::binary) << content;
}

// Hands `path` to another user; only root can.
void giveToAnotherUser(const fs::path& path) {
    ASSERT_EQ(std::system(("chown 65534 '" + path.string() + "'").c_str()), 0);
}

TEST(FileSystemTest, FileInfoAndLinks) {
    test::TempDir dir;
    auto file = dir.write("data.bin", "12345");
    fs::create_symlink(file, dir.path() / "link");

    auto info = statPath(file.string());
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->type, FileType::kRegular);
    EXPECT_EQ(info->size, 5u);
    EXPECT_EQ(info->uid, effectiveUserId());
    EXPECT_EQ(fileSize(file.string()).valueOr(0), 5u);
    EXPECT_TRUE(isRegularFile(file.string()));
    EXPECT_TRUE(isDirectory(dir.path().string()));

    std::string link = (dir.path() / "link").string();
    EXPECT_EQ(statPath(link)->inode, info->inode);
    EXPECT_EQ(lstatPath(link)->type, FileType::kSymlink);

    const auto throughLink = openForReading(link);
    ASSERT_FALSE(throughLink.ok()) << "a link must not be followed";
    EXPECT_EQ(throughLink.error().errnoValue(), ELOOP);
    UniqueFd fd = openForReading(file.string()).valueOr({});
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(statDescriptor(fd.get())->inode, info->inode);

    std::string missing = (dir.path() / "missing").string();
    EXPECT_FALSE(pathExists(missing));
    const auto missingInfo = statPath(missing);
    ASSERT_FALSE(missingInfo.ok());
    EXPECT_EQ(missingInfo.error().windowsError(), WinError::kFileNotFound);
    EXPECT_FALSE(fileSize(missing).ok());
}

TEST(FileSystemTest, MakeDirectoryTellsCreatedFromExisting) {
    test::TempDir dir;
    std::string path = (dir.path() / "new").string();
    EXPECT_TRUE(makeDirectory(path, 0700).ok());
    EXPECT_EQ(statPath(path)->mode, 0700u);

    EXPECT_EQ(makeDirectory(path, 0700).windowsError(), WinError::kAlreadyExists);
    auto file = dir.write("file", "");
    EXPECT_EQ(makeDirectory(file.string(), 0700).error().errnoValue(), EEXIST);

    EXPECT_EQ(makeDirectory((dir.path() / "no" / "parent").string(), 0700).windowsError(),
              WinError::kPathNotFound);
}

// A failed open tells a missing directory (3) from a missing file (2).
TEST(FileSystemTest, OpenPathErrorNamesAMissingDirectory) {
    test::TempDir dir;
    const Error notFound = Error::fromErrno(ENOENT);
    EXPECT_EQ(openPathError((dir.path() / "no" / "file").string(), notFound).windowsError(),
              WinError::kPathNotFound);
    EXPECT_EQ(openPathError((dir.path() / "file").string(), notFound).windowsError(),
              WinError::kFileNotFound);
    EXPECT_EQ(openPathError("relative-file", notFound).windowsError(), WinError::kFileNotFound);
    const Error denied = Error::fromErrno(EACCES);
    EXPECT_EQ(openPathError((dir.path() / "no" / "file").string(), denied).windowsError(),
              WinError::kAccessDenied);
}

// The directory opens of listing and tree removal go through the system-call
// table: a refused open is reported, never taken for an empty directory.
TEST(FileSystemTest, AFailedDirectoryOpenIsReported) {
    test::TempDir dir;
    dir.write("kept", "x");
    const std::string path = dir.path().string();
    holm::test::InjectedFaults faults;
    faults.failOpen(EMFILE, path);
    const auto listed = enumerate(path, "*");
    ASSERT_FALSE(listed.ok());
    EXPECT_EQ(listed.error().windowsError(), WinError::kTooManyOpenFiles);
    EXPECT_FALSE(removeTreeSafely(path + "/kept").ok());
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "kept"));
}

TEST(FileSystemTest, RemoveEmptyDirectoryLeavesContents) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "full" / "inner");
    fs::create_directory_symlink(dir.path() / "full" / "inner", dir.path() / "link");
    EXPECT_EQ(removeEmptyDirectory((dir.path() / "full").string()).windowsError(),
              WinError::kDirNotEmpty);
    EXPECT_EQ(removeEmptyDirectory((dir.path() / "link").string()).windowsError(),
              WinError::kPathNotFound);
    EXPECT_EQ(removeEmptyDirectory((dir.path() / "full" / "inner").string()).windowsError(),
              WinError::kSuccess);
    EXPECT_FALSE(fs::exists(dir.path() / "full" / "inner"));
}

TEST(RemoveTreeTest, RemovesNestedTreeButNotWhatLinksPointTo) {
    test::TempDir dir;
    fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);
    writeFile(outside / "keep.txt");

    fs::path tree = dir.path() / "tree";
    fs::create_directories(tree / "a" / "b" / "c");
    fs::create_directories(tree / "empty");
    writeFile(tree / "top.txt");
    writeFile(tree / "a" / "b" / "c" / "deep.txt");
    fs::create_directory_symlink(outside, tree / "a" / "to-outside");
    fs::create_symlink(outside / "keep.txt", tree / "file-link");
    fs::create_symlink(dir.path() / "nowhere", tree / "dangling");

    std::vector<std::string> skipped;
    EXPECT_EQ(removeTreeSafely(tree.string(), &skipped).windowsError(), WinError::kSuccess);
    EXPECT_TRUE(skipped.empty());
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));

    // A link given as the tree itself is removed, not followed.
    fs::create_directory_symlink(outside, dir.path() / "link-tree");
    EXPECT_EQ(removeTreeSafely((dir.path() / "link-tree/").string()).windowsError(),
              WinError::kSuccess);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "link-tree")));
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));

    EXPECT_EQ(removeTreeSafely((dir.path() / "never-there").string()).windowsError(),
              WinError::kSuccess);
    EXPECT_EQ(removeTreeSafely("/").windowsError(), WinError::kInvalidParameter);
    EXPECT_EQ(removeTreeSafely("").windowsError(), WinError::kInvalidParameter);
}

// Deeper than the directories held open at a time: the levels above are
// opened again on the way back up.
TEST(RemoveTreeTest, RemovesTreesOfAnyDepth) {
    test::TempDir dir;
    fs::path tree = dir.path() / "deep";
    fs::path bottom = tree;
    for (int level = 0; level < 150; ++level) {
        bottom /= "d";
    }
    fs::create_directories(bottom);
    writeFile(bottom / "file");
    // A level with siblings, read again after its stream was closed.
    fs::path middle = tree;
    for (int level = 0; level < 10; ++level) {
        middle /= "d";
    }
    fs::create_directories(middle / "sibling" / "x");
    writeFile(middle / "file");

    std::vector<std::string> skipped;
    EXPECT_EQ(removeTreeSafely(tree.string(), &skipped).windowsError(), WinError::kSuccess);
    EXPECT_TRUE(skipped.empty());
    EXPECT_FALSE(fs::exists(tree));
}

TEST(RemoveTreeTest, DeepDirectoryOfAnotherOwnerIsReportedOnceAndKept) {
    if (effectiveUserId() != 0) {
        GTEST_SKIP() << "handing a directory to another user needs root";
    }
    test::TempDir dir;
    fs::path tree = dir.path() / "deep";
    fs::path foreign = tree;
    for (int level = 0; level < 100; ++level) {
        foreign /= "d";
    }
    foreign /= "foreign";
    fs::create_directories(foreign);
    writeFile(foreign / "keep");
    writeFile(tree / "d" / "gone");
    giveToAnotherUser(foreign);

    std::vector<std::string> skipped;
    EXPECT_EQ(removeTreeSafely(tree.string(), &skipped).windowsError(), WinError::kAccessDenied);
    EXPECT_EQ(skipped, std::vector<std::string>{foreign.string()});
    EXPECT_TRUE(fs::exists(foreign / "keep"));
    EXPECT_FALSE(fs::exists(tree / "d" / "gone"));
}

TEST(RemoveTreeTest, LeavesDirectoriesOfOtherOwners) {
    if (effectiveUserId() != 0) {
        GTEST_SKIP() << "handing a directory to another user needs root";
    }
    test::TempDir dir;
    fs::path tree = dir.path() / "tree";
    fs::create_directories(tree / "foreign" / "inner");
    fs::create_directories(tree / "mine");
    writeFile(tree / "foreign" / "inner" / "file");
    giveToAnotherUser(tree / "foreign");

    std::vector<std::string> skipped;
    EXPECT_EQ(removeTreeSafely(tree.string(), &skipped).windowsError(), WinError::kAccessDenied);
    EXPECT_EQ(skipped, std::vector<std::string>{(tree / "foreign").string()});
    EXPECT_TRUE(fs::exists(tree / "foreign" / "inner" / "file"));
    EXPECT_FALSE(fs::exists(tree / "mine"));

    giveToAnotherUser(tree);
    EXPECT_EQ(removeTreeSafely(tree.string()).windowsError(), WinError::kAccessDenied);
    EXPECT_TRUE(fs::exists(tree / "foreign" / "inner" / "file"));
}

// Mounts something on `target` for the life of the object, when allowed.
class ScopedMount {
  public:
    ScopedMount(const std::string& options, const fs::path& target) : target_(target) {
        mounted_ =
            std::system(("mount " + options + " '" + target_.string() + "' 2>/dev/null").c_str()) ==
            0;
    }
    ~ScopedMount() {
        if (mounted_) {
            EXPECT_EQ(std::system(("umount '" + target_.string() + "'").c_str()), 0);
        }
    }
    bool mounted() const { return mounted_; }

  private:
    fs::path target_;
    bool mounted_ = false;
};

TEST(RemoveTreeTest, DoesNotCrossIntoMounts) {
    test::TempDir dir;
    fs::path tree = dir.path() / "tree";
    fs::create_directories(tree / "tmpfs");
    fs::create_directories(tree / "bound");
    fs::create_directories(dir.path() / "source");
    writeFile(dir.path() / "source" / "keep.txt");
    ScopedMount tmpfs("-t tmpfs tmpfs", tree / "tmpfs");
    ScopedMount bind("--bind '" + (dir.path() / "source").string() + "'", tree / "bound");
    if (!tmpfs.mounted() || !bind.mounted()) {
        GTEST_SKIP() << "mounting needs privileges this run does not have";
    }
    writeFile(tree / "tmpfs" / "keep.txt");
    writeFile(tree / "gone.txt");

    std::vector<std::string> skipped;
    EXPECT_EQ(removeTreeSafely(tree.string(), &skipped).windowsError(), WinError::kAccessDenied);
    std::sort(skipped.begin(), skipped.end());
    EXPECT_EQ(skipped,
              (std::vector<std::string>{(tree / "bound").string(), (tree / "tmpfs").string()}));
    EXPECT_TRUE(fs::exists(tree / "tmpfs" / "keep.txt"));
    EXPECT_TRUE(fs::exists(dir.path() / "source" / "keep.txt"));
    EXPECT_FALSE(fs::exists(tree / "gone.txt"));
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
        writeFile(dir.path() / name);
    }
    fs::create_directory(dir.path() / "sub.txt");
    fs::create_symlink(dir.path() / "sub.txt", dir.path() / "link");
    std::string path = dir.path().string();

    EXPECT_EQ(namesMatching(path, "*.txt"),
              (std::vector<std::string>{"B.TXT", "a.txt", "sub.txt"}));
    EXPECT_EQ(namesMatching(path, "*.*").size(), 6u);
    EXPECT_EQ(namesMatching(path, "READ??"), std::vector<std::string>{"readme"});
    EXPECT_TRUE(namesMatching(path, "*.doc").empty());

    auto all = enumerate(path, "*");
    ASSERT_TRUE(all.ok());
    for (const DirectoryEntry& entry : *all) {
        FileType expected = entry.name == "sub.txt" ? FileType::kDirectory
                            : entry.name == "link"  ? FileType::kSymlink
                                                    : FileType::kRegular;
        EXPECT_EQ(entry.type, expected) << entry.name;
    }
    auto missing = enumerate(path + "/missing", "*");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().windowsError(), WinError::kPathNotFound);
}

// Wildcard characters in the prefix are plain characters, and case counts.
TEST(PatternTest, PrefixEnumerationTakesThePrefixLiterally) {
    test::TempDir dir;
    for (const char* name : {"A*B_12345678", "AXB_12345678", "a*b_12345678", "A*B_1234567",
                             "A*B_123456789", "A*B_1234567\xc3\xa4"}) {
        fs::create_directory(dir.path() / name);
    }
    auto entries = enumerateWithPrefix(dir.path().string(), "A*B_", 8);
    ASSERT_TRUE(entries.ok());
    std::vector<std::string> names;
    for (const DirectoryEntry& entry : *entries) {
        EXPECT_EQ(entry.type, FileType::kDirectory);
        names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"A*B_12345678", "A*B_1234567\xc3\xa4"}));
    auto missing = enumerateWithPrefix(dir.path().string() + "/missing", "A", 1);
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

TEST(FileSystemTest, TemporaryDirectoryHonoursOnlyUsableTmpdir) {
    const char* saved = std::getenv("TMPDIR");
    std::string original = saved != nullptr ? saved : "";
    test::TempDir dir;

    ::setenv("TMPDIR", (dir.path().string() + "//").c_str(), 1);
    EXPECT_EQ(temporaryDirectory(), dir.path().string() + "/");
    ::setenv("TMPDIR", "relative/dir", 1);
    EXPECT_EQ(temporaryDirectory(), "/tmp/");
    ::setenv("TMPDIR", (dir.path() / "missing").c_str(), 1);
    EXPECT_EQ(temporaryDirectory(), "/tmp/");

    if (saved != nullptr) {
        ::setenv("TMPDIR", original.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

TEST(FileSystemTest, ADirectoryChainIsMadeFollowingOnlyTrustedLinks) {
    holm::test::TempDir temp;
    const fs::path deep = temp.path() / "a" / "b" / "c";
    ASSERT_TRUE(makeDirectoryChain(deep.string(), 0700).ok());
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(makeDirectoryChain(deep.string(), 0700).ok());  // already there
    EXPECT_FALSE(makeDirectoryChain("relative/path", 0700).ok());

    const fs::path real = temp.path() / "real";
    fs::create_directory(real);
    const fs::path link = temp.path() / "link";
    fs::create_symlink(real, link);
    ASSERT_TRUE(makeDirectoryChain((link / "made").string(), 0700).ok());
    EXPECT_TRUE(fs::is_directory(real / "made"));
    if (holm::test::canGiveAwayFiles()) {
        ASSERT_TRUE(holm::test::giveToAnotherUser(link));
        const Status refused = makeDirectoryChain((link / "other").string(), 0700);
        EXPECT_EQ(refused.error().errnoValue(), ELOOP);
        EXPECT_FALSE(fs::exists(real / "other"));
    }
}

TEST(FileSystemTest, ANameTakenForRenameNoReplaceIsAlreadyExists) {
    holm::test::TempDir temp;
    const auto from = temp.write("from", "a");
    const auto to = temp.write("to", "b");
    const Status taken = renameNoReplace(from.string(), to.string());
    EXPECT_EQ(taken.windowsError(), WinError::kAlreadyExists);
    EXPECT_EQ(taken.error().errnoValue(), EEXIST);
}

}  // namespace
}  // namespace holm::platform
