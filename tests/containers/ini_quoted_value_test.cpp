// Values of a profile file: one pair of matching enclosing quotes is dropped,
// whatever is inside, the empty pair included; an odd last byte of a UTF-16
// file reads as a replacement character; edits near the file's and a
// section's end put lines where they belong.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "containers/ini_profile.h"

namespace {

using holm::containers::IniProfile;

TEST(IniQuotedValue, EnclosingQuotesAreDroppedOnceAndOnlyWhenTheyMatch) {
    const IniProfile profile = IniProfile::parse(
        "[main]\n"
        "empty=\"\"\n"
        "single = ''\n"
        "kept = \" padded \"\n"
        "nested=\"\"x\"\"\n"
        "lone=\"\n"
        "mixed=\"x'\n");
    EXPECT_EQ(profile.find(u"main", u"empty"), std::optional<std::u16string>(u""));
    EXPECT_EQ(profile.find(u"main", u"single"), std::optional<std::u16string>(u""));
    EXPECT_EQ(profile.find(u"main", u"kept"), std::optional<std::u16string>(u" padded "));
    EXPECT_EQ(profile.find(u"main", u"nested"), std::optional<std::u16string>(u"\"x\""));
    EXPECT_EQ(profile.find(u"main", u"lone"), std::optional<std::u16string>(u"\""));
    EXPECT_EQ(profile.find(u"main", u"mixed"), std::optional<std::u16string>(u"\"x'"));
}

TEST(IniQuotedValue, AnOddLastByteOfAUtf16FileReadsAsAReplacementCharacter) {
    const std::string bytes("\xFF\xFE[\0m\0]\0\r\0\n\0k\0=\0v\0!", 19);
    EXPECT_EQ(IniProfile::parse(bytes).find(u"m", u"k"), std::optional<std::u16string>(u"v\uFFFD"));
}

TEST(IniQuotedValue, EditsKeepTheLastLineUnendedAndNewKeysBeforeBlankLines) {
    IniProfile unended = IniProfile::parse("[main]\nk=1");
    ASSERT_TRUE(unended.set(u"main", u"k", u"2"));
    EXPECT_EQ(unended.bytes(), "[main]\nk=2");

    IniProfile blank = IniProfile::parse("[a]\n\n[b]\n");
    ASSERT_TRUE(blank.set(u"a", u"k", u"v"));
    EXPECT_EQ(blank.bytes(), "[a]\nk=v\n\n[b]\n");
}

}  // namespace
