// The utilities' behaviour that rests on POSIX facilities: directory
// permission bits and descriptors seen in /proc.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"
#include "utilities/path.h"
#include "utilities/shared_handle.h"

namespace Tandro::Utilities {
namespace {

namespace fs = std::filesystem;

TEST(DirectoryTest, CreatesOwnerOnlyDirectoryOnceAndSeesIt) {
    holm::test::TempDir dir;
    const auto path = (dir.path() / "TEMP").u16string();
    EXPECT_FALSE(Directory::Exists(path));
    ASSERT_TRUE(Directory::CreateAdminOnly(path));
    EXPECT_TRUE(Directory::Exists(path));
    EXPECT_EQ(fs::status(fs::path(path)).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_FALSE(Directory::CreateAdminOnly(path));  // already there
    EXPECT_FALSE(Directory::CreateAdminOnly((dir.path() / "no" / "parent").u16string()));
    EXPECT_FALSE(Directory::Exists(dir.write("file", "x").u16string()));
}

TEST(SharedHandleTest, ClosesWithTheLastOwner) {
    SharedHandle first = EventAccessControl::CreateLocalEvent(true, false);
    const int fd = first.get();
    const fs::path fdPath = "/proc/self/fd/" + std::to_string(fd);
    SharedHandle second = first;
    SharedHandle moved = std::move(first);
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): moved-from is empty
    second.reset();
    EXPECT_TRUE(fs::exists(fdPath));
    moved.reset();
    EXPECT_FALSE(fs::exists(fdPath));
}

}  // namespace
}  // namespace Tandro::Utilities
