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

}  // namespace
}  // namespace holm::common
