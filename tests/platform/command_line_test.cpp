#include "platform/command_line.h"

#include <gtest/gtest.h>

#include "common/utf16.h"
#include "platform/process_info.h"

namespace holm::platform {
namespace {

using Arguments = std::vector<std::string>;

struct Case {
    const char* line;
    Arguments arguments;
};

// The documented examples of the Windows rules, and the corners around them.
const Case kCases[] = {
    {R"(prog a b c)", {"prog", "a", "b", "c"}},
    {"  \tprog\t a  ", {"prog", "a"}},
    {R"("C:\Program Files\x\" a)", {R"(C:\Program Files\x\)", "a"}},
    {R"(C:\dir\prog.exe "a b c" d e)", {R"(C:\dir\prog.exe)", "a b c", "d", "e"}},
    {R"(p "ab\"c" "\\" d)", {"p", R"(ab"c)", R"(\)", "d"}},
    {R"(p a\\\b d"e f"g h)", {"p", R"(a\\\b)", "de fg", "h"}},
    {R"(p a\\\"b c d)", {"p", R"(a\"b)", "c", "d"}},
    {R"(p a\\\\"b c" d e)", {"p", R"(a\\b c)", "d", "e"}},
    {R"(p "" x "")", {"p", "", "x", ""}},
    {R"(p "a""b" c)", {"p", R"(a"b)", "c"}},
    {R"(p "unbalanced tail)", {"p", "unbalanced tail"}},
    {R"("unclosed program)", {"unclosed program"}},
    {R"(p trailing\)", {"p", R"(trailing\)"}},
    {R"(p \")", {"p", R"(")"}},
    {"", {}},
    {" \t ", {}},
};

TEST(CommandLineTest, SplitsByTheWindowsRules) {
    for (const Case& c : kCases) {
        EXPECT_EQ(splitCommandLine(std::string_view(c.line)), c.arguments) << c.line;
    }
}

TEST(CommandLineTest, Utf16AgreesWithUtf8AndKeepsOtherCharacters) {
    for (const Case& c : kCases) {
        std::vector<std::string> converted;
        for (const auto& argument : splitCommandLine(common::utf8ToUtf16(c.line))) {
            converted.push_back(common::utf16ToUtf8(argument));
        }
        EXPECT_EQ(converted, c.arguments) << c.line;
    }
    const auto wide = splitCommandLine(std::u16string_view(u"pr\u00f6g \"\u4e2d \u6587\" \xd800x"));
    EXPECT_EQ(wide, (std::vector<std::u16string>{u"pr\u00f6g", u"\u4e2d \u6587", u"\xd800x"}));
}

TEST(CommandLineTest, TheArgumentTextIsWhatFollowsTheProgramAsWritten) {
    EXPECT_EQ(commandLineArgumentText(u"  \"C:\\a b\\p.exe\"\t /c echo \"x  y\" "),
              u"/c echo \"x  y\" ");
    EXPECT_EQ(commandLineArgumentText(u"cmd /c \"exit 4"), u"/c \"exit 4");
    EXPECT_EQ(commandLineArgumentText(u"prog"), u"");
    EXPECT_EQ(commandLineArgumentText(u"\"unclosed program"), u"");
    EXPECT_EQ(commandLineArgumentText(u" \t "), u"");
}

TEST(CommandLineTest, SplittingAJoinedLineGivesTheArgumentsBack) {
    const Arguments arguments = {"/opt/a b/prog", "",        "plain",     "with space", R"(q"uote)",
                                 R"(tail\)",      R"(\"x\)", "tab\there", R"("")"};
    EXPECT_EQ(splitCommandLine(std::string_view(commandLineText(arguments))), arguments);
}

}  // namespace
}  // namespace holm::platform
