// The utilities' behaviour that rests on POSIX facilities: directory
// permission bits, descriptors seen in /proc, environment switches read by a
// child process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_support.h"
#include "utilities/path.h"
#include "utilities/run_performance.h"
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

    const SharedHandle empty;
    EXPECT_EQ(empty.get(), -1);
    EXPECT_FALSE(EventAccessControl::SetEvent(empty));
    EXPECT_FALSE(EventAccessControl::IsEventSet(empty));
}

// The trace switch is read once per process, so each case runs in a child
// process of its own that sets it first.
void traceInChild(const char* setting) {
    ::setenv("HOLM_TRACE_PERFORMANCE", setting, 1);
    {
        GenericRunPerformance stoppedTwice(u"stopped twice");
        stoppedTwice.Stop();
        stoppedTwice.Stop();
    }
    { GenericRunPerformance destroyed(u"destroyed"); }
    std::exit(0);
}

TEST(GenericRunPerformanceTest, WritesOneLinePerMeasurementOnlyWhenTraced) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(traceInChild("1"), ::testing::ExitedWithCode(0),
                "^holm-performance: stopped twice: [0-9]+ us\n"
                "holm-performance: destroyed: [0-9]+ us\n$");
    EXPECT_EXIT(traceInChild("0"), ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace Tandro::Utilities
