// File operations whose rules are the same on every system: the walk down a
// directory chain, the regular-file check of small reads, and what a failed
// replacement or creation leaves behind.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/system_calls.h"
#include "platform/verified_open.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

std::vector<std::string> namesIn(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FileOperationsTest, AChainSkipsEmptyAndCurrentNamesAndNeverClimbs) {
    test::TempDir dir;
    const std::string base = dir.path().generic_string();
    ASSERT_TRUE(makeDirectoryChain(base + "//a/./b/", 0700).ok());
    EXPECT_TRUE(isDirectory(base + "/a/b"));
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"a"});

    const Status climbing = makeDirectoryChain(base + "/a/../c", 0700);
    ASSERT_FALSE(climbing.ok());
    EXPECT_EQ(climbing.error().errnoValue(), EINVAL);
    EXPECT_FALSE(pathExists(base + "/c"));

    dir.write("a/file", "x");
    EXPECT_FALSE(makeDirectoryChain(base + "/a/file/d", 0700).ok());
    EXPECT_EQ(io::readSmallFile(base + "/a/file", 10).valueOr("?"), "x");
}

TEST(FileOperationsTest, PathQueriesFollowTheStatusOfThePath) {
    test::TempDir dir;
    const auto file = dir.write("five", "12345").generic_string();
    const std::string directory = dir.path().generic_string();
    EXPECT_TRUE(pathExists(file));
    EXPECT_TRUE(isRegularFile(file));
    EXPECT_FALSE(isDirectory(file));
    EXPECT_TRUE(isDirectory(directory));
    EXPECT_FALSE(isRegularFile(directory));
    EXPECT_EQ(fileSize(file).valueOr(0), 5u);
    EXPECT_FALSE(pathExists(directory + "/none"));
    EXPECT_EQ(fileSize(directory + "/none").error().errnoValue(), ENOENT);
}

TEST(FileOperationsTest, SmallReadsTakeOnlyRegularFilesAndStayBounded) {
    test::TempDir dir;
    const auto file = dir.write("small", "content").generic_string();
    EXPECT_EQ(io::readSmallFile(file, 7).valueOr("?"), "content");
    EXPECT_EQ(io::readSmallFile(file, 6).error().errnoValue(), EFBIG);
    auto directory = io::readSmallFile(dir.path().generic_string(), 100);
    ASSERT_FALSE(directory.ok());
    EXPECT_EQ(directory.error().errnoValue(), EINVAL);
}

// The system-call table with one call made to fail.
const io::SystemCalls& failingRenames() {
    static const io::SystemCalls calls = [] {
        io::SystemCalls table = io::realSystemCalls();
        table.renameat2 = [](int, const char*, int, const char*, unsigned) {
            errno = EXDEV;
            return -1;
        };
        return table;
    }();
    return calls;
}

const io::SystemCalls& failingWrites() {
    static const io::SystemCalls calls = [] {
        io::SystemCalls table = io::realSystemCalls();
        table.write = [](int, const void*, size_t) -> std::ptrdiff_t {
            errno = ENOSPC;
            return -1;
        };
        return table;
    }();
    return calls;
}

TEST(FileOperationsTest, AFailedRenameKeepsTheTargetAndLeavesNoTemporaryFile) {
    test::TempDir dir;
    const auto target = dir.write("settings.ini", "old");
    {
        io::ScopedSystemCalls scope(failingRenames());
        const Status failed = replaceFileAtomically(target.generic_string(), "new");
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.error().errnoValue(), EXDEV);
    }
    EXPECT_EQ(io::readSmallFile(target.generic_string(), 100).valueOr("?"), "old");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"settings.ini"});

    // A replacement that is dropped before its commit leaves nothing either,
    // also when it was moved from one object to another first.
    {
        auto replacement = FileReplacement::begin(target.generic_string());
        ASSERT_TRUE(replacement.ok());
        FileReplacement moved = std::move(*replacement);
        ASSERT_TRUE(io::writeFull(moved.fd(), std::string_view("dropped")).ok());
        EXPECT_EQ(namesIn(dir.path()).size(), 2u);
    }
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"settings.ini"});
    ASSERT_TRUE(replaceFileAtomically(target.generic_string(), "new").ok());
    EXPECT_EQ(io::readSmallFile(target.generic_string(), 100).valueOr("?"), "new");
}

TEST(FileOperationsTest, ANewFileWhoseWriteFailsIsRemoved) {
    test::TempDir dir;
    const std::string path = (dir.path() / "created").generic_string();
    {
        io::ScopedSystemCalls scope(failingWrites());
        const Status failed = createNewFile(path, "content", 0600);
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.error().errnoValue(), ENOSPC);
    }
    EXPECT_FALSE(pathExists(path));
    ASSERT_TRUE(createNewFile(path, "content", 0600).ok());
    EXPECT_EQ(createNewFile(path, "again", 0600).error().errnoValue(), EEXIST);
    EXPECT_EQ(io::readSmallFile(path, 100).valueOr("?"), "content");
}

}  // namespace
}  // namespace holm::platform
