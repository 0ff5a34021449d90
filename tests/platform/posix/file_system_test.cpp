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

// A link is listed as itself, whatever it points to (the rest of the
// listing rules: tests/platform/file_system_test.cpp).
TEST(PatternTest, ALinkIsListedAsALinkNotAsItsTarget) {
    test::TempDir dir;
    writeFile(dir.path() / "file");
    fs::create_directory(dir.path() / "sub.txt");
    fs::create_symlink(dir.path() / "sub.txt", dir.path() / "link");
    fs::create_symlink(dir.path() / "file", dir.path() / "file-link.txt");
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling.txt");
    const std::string path = dir.path().string();

    EXPECT_EQ(namesMatching(path, "*.txt"),
              (std::vector<std::string>{"dangling.txt", "file-link.txt", "sub.txt"}));
    auto all = enumerate(path, "*");
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all->size(), 5u);
    for (const DirectoryEntry& entry : *all) {
        const FileType expected = entry.name == "sub.txt" ? FileType::kDirectory
                                  : entry.name == "file"  ? FileType::kRegular
                                                          : FileType::kSymlink;
        EXPECT_EQ(entry.type, expected) << entry.name;
    }
}

// Names may hold '*' and '?' here: in a prefix they match only themselves.
TEST(PatternTest, WildcardCharactersInAPrefixMatchOnlyThemselves) {
    test::TempDir dir;
    for (const char* name : {"A*B_12345678", "AXB_12345678", "a*b_12345678", "A?B_12345678"}) {
        fs::create_directory(dir.path() / name);
    }
    for (const char* prefix : {"A*B_", "A?B_"}) {
        auto entries = enumerateWithPrefix(dir.path().string(), prefix, 8);
        ASSERT_TRUE(entries.ok()) << prefix;
        ASSERT_EQ(entries->size(), 1u) << prefix;
        EXPECT_EQ(entries->front().name, std::string(prefix) + "12345678");
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

}  // namespace
}  // namespace holm::platform
