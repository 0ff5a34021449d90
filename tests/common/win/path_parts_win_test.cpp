// Path parts on Windows: '\' separates components as '/' does, and a drive's
// root keeps its separator.
#include <gtest/gtest.h>

#include <string>

#include "common/path_parts.h"

namespace holm::common {
namespace {

TEST(PathPartsWindows, BackslashesAndSlashesBothSeparate) {
    EXPECT_EQ(fileNameOf("C:\\Program Files\\holm\\avholm.exe"), "avholm.exe");
    EXPECT_EQ(fileNameOf("C:\\holm/plugins\\demo.dll"), "demo.dll");
    EXPECT_EQ(fileNameOf(std::u16string(u"a\\b")), u"b");
    EXPECT_EQ(directoryOf("C:\\holm\\plugins\\demo.dll"), "C:\\holm\\plugins");
    EXPECT_EQ(directoryOf("C:/holm\\x"), "C:/holm");
    EXPECT_EQ(directoryWithSlashOf("C:\\holm\\avholm.exe"), "C:\\holm\\");
}

TEST(PathPartsWindows, ADrivesRootKeepsItsSeparator) {
    EXPECT_EQ(directoryOf("C:\\avholm.exe"), "C:\\");
    EXPECT_EQ(directoryOf("Z:/avholm.exe"), "Z:/");
    EXPECT_EQ(directoryOf("\\avholm.exe"), "\\");
    EXPECT_EQ(directoryOf(u"C:\\x"), u"C:\\");
}

// A drive's path is absolute with either separator; a drive-relative
// "C:x" and a plain name are not.
TEST(PathPartsWindows, DrivePathsAreAbsolute) {
    EXPECT_TRUE(isAbsolutePath("C:\\holm\\demo.dll"));
    EXPECT_TRUE(isAbsolutePath(u"Z:/holm/demo.dll"));
    EXPECT_TRUE(isAbsolutePath("\\holm"));
    EXPECT_FALSE(isAbsolutePath("C:holm"));
    EXPECT_FALSE(isAbsolutePath("plugins\\demo.dll"));
    EXPECT_FALSE(isAbsolutePath(""));
}

}  // namespace
}  // namespace holm::common
