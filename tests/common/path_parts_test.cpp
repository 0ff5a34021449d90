// The parts of a path, in both kinds of text.
#include <gtest/gtest.h>

#include <string>

#include "common/path_parts.h"

namespace holm::common {
namespace {

TEST(PathPartsTest, SplitsAtTheLastSlash) {
    EXPECT_EQ(fileNameOf("/usr/lib/libx.so"), "libx.so");
    EXPECT_EQ(fileNameOf("libx.so"), "libx.so");
    EXPECT_EQ(fileNameOf("dir/"), "");
    EXPECT_EQ(fileNameOf(std::u16string(u"a/b")), u"b");

    EXPECT_EQ(directoryOf("/usr/lib/libx.so"), "/usr/lib");
    EXPECT_EQ(directoryOf("/libx.so"), "/");
    EXPECT_EQ(directoryOf("libx.so"), ".");
    EXPECT_EQ(directoryOf(u"a/b"), u"a");
    EXPECT_EQ(directoryOf(u"b"), u".");

    EXPECT_EQ(directoryWithSlashOf("/opt/holm/avholm"), "/opt/holm/");
    EXPECT_EQ(directoryWithSlashOf("avholm"), "./");
    EXPECT_EQ(directoryWithSlashOf(u"/avholm"), u"/");
}

}  // namespace
}  // namespace holm::common
