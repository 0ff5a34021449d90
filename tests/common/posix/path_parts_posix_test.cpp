// Path parts on Linux: '\' is an ordinary character of a name.
#include <gtest/gtest.h>

#include "common/path_parts.h"

namespace holm::common {
namespace {

TEST(PathPartsPosix, ABackslashIsPartOfAName) {
    EXPECT_EQ(fileNameOf("/opt/a\\b.so"), "a\\b.so");
    EXPECT_EQ(directoryOf("a\\b.so"), ".");
    EXPECT_EQ(directoryOf("C:\\holm"), ".");
}

TEST(PathPartsPosix, OnlyALeadingSlashMakesAPathAbsolute) {
    EXPECT_TRUE(isAbsolutePath("/opt/holm"));
    EXPECT_FALSE(isAbsolutePath("C:/holm"));
    EXPECT_FALSE(isAbsolutePath("\\holm"));
    EXPECT_FALSE(isAbsolutePath(u"plugins/demo.so"));
}

}  // namespace
}  // namespace holm::common
