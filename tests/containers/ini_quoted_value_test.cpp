// Quoted values of a profile file: one pair of matching enclosing quotes is
// dropped, whatever is inside, the empty pair included.
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

}  // namespace
