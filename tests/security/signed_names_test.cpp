// Which file names a signature can carry: one path component of printable
// characters, blanks and UTF-8 included; no control characters, which the
// signature file's lines and the log lines that name the file would carry.
#include <gtest/gtest.h>

#include <string>

#include "security/signature_file.h"
#include "security/support/signed_files.h"

namespace holm::security {
namespace {

using SignedNamesTest = SignedFilesTest;

TEST_F(SignedNamesTest, NamesWithBlanksAndNonAsciiLettersAreSignedAndVerified) {
    for (const char* name : {"my plugin.so", " lead.so", "caf\xC3\xA9.so", "~!@#$%^&()"}) {
        EXPECT_EQ(verify(signedFile(name, "code")), Reason::Verified) << name;
    }
}

TEST(SignedNames, TheBoundariesOfTheCharactersANameMayHold) {
    EXPECT_TRUE(isSignableName(" "));    // 0x20, the first printable character
    EXPECT_TRUE(isSignableName("~"));    // 0x7E, the last
    EXPECT_TRUE(isSignableName("..."));  // only "." and ".." name directories
    for (const char* name : {"\x1F", "\x7F", "a/b", ".."}) {
        EXPECT_FALSE(isSignableName(name)) << testing::PrintToString(std::string(name));
    }
}

}  // namespace
}  // namespace holm::security
