#include "common/log_text.h"

#include <gtest/gtest.h>

#include <string>

#include "common/utf16.h"

namespace {

using holm::common::kMaxLogInsert;
using holm::common::logInsert;
using holm::common::logLineText;

TEST(LogTextTest, ControlCharactersAreEscapedSoOneInsertStaysOnOneLine) {
    EXPECT_EQ(logInsert(u"a\nb\rc\td"), u"a\\nb\\rc\\td");
    EXPECT_EQ(logInsert(std::u16string(u"nul\0bell\a", 9)), u"nul\\x00bell\\x07");
    EXPECT_EQ(logInsert(u"\x1b[31mred\x7f\x85"), u"\\x1b[31mred\\x7f\\x85");
    EXPECT_EQ(logInsert(u"line\u2028para\u2029over\u202eiso\u2066"),
              u"line\\u2028para\\u2029over\\u202eiso\\u2066");
    // Ordinary text, non-ASCII letters, surrogate pairs and backslashes stay.
    EXPECT_EQ(logInsert(u"C:\\Pfad/\u00e4\U0001F600"), u"C:\\Pfad/\u00e4\U0001F600");

    // UTF-8 in, UTF-8 out: a forged second line cannot start.
    const std::string forged = "demo\n2026-01-01 00:00:00.000 NOTICE Core: all is well";
    EXPECT_EQ(logInsert(forged).find('\n'), std::string::npos);
    EXPECT_EQ(logInsert(std::string("\xff ok")), "\xef\xbf\xbd ok");
}

TEST(LogTextTest, LongInsertsAreCutWithAMarkerThatCountsWhatWasLeftOut) {
    const std::u16string huge(8u << 20, u'x');
    const std::u16string cut = logInsert(huge);
    EXPECT_EQ(cut, std::u16string(kMaxLogInsert, u'x') + u"...[cut " +
                       holm::common::utf8ToUtf16(std::to_string(huge.size() - kMaxLogInsert)) +
                       u" more]");
    EXPECT_EQ(logInsert(std::u16string(kMaxLogInsert, u'y')), std::u16string(kMaxLogInsert, u'y'));

    const std::string narrow(8u << 20, 'n');
    EXPECT_EQ(logInsert(narrow), std::string(kMaxLogInsert, 'n') + "...[cut " +
                                     std::to_string(narrow.size() - kMaxLogInsert) + " more]");

    // An escape or a surrogate pair is never split by the cut.
    EXPECT_EQ(logInsert(u"ab\n", 3), u"ab...[cut 1 more]");
    EXPECT_EQ(logInsert(u"a\U0001F600", 2), u"a...[cut 2 more]");
    EXPECT_EQ(logInsert(u"", 0), u"");
}

TEST(LogTextTest, SinksLeaveSafeLinesAloneAndBoundTheRest) {
    EXPECT_EQ(logLineText(u"PM(demo): calling Load() ... done"),
              u"PM(demo): calling Load() ... done");
    EXPECT_EQ(logLineText(std::string("a\nb")), "a\\nb");
    EXPECT_LT(logLineText(std::u16string(1u << 20, u'z')).size(), holm::common::kMaxLogLine + 32);
}

TEST(LogTextTest, ReportLinesKeepTabsAndEscapeWhatCouldBreakTheLine) {
    using holm::common::kMaxLogLine;
    using holm::common::reportLineText;
    EXPECT_EQ(reportLineText(u"name\tsize\t12"), u"name\tsize\t12");
    EXPECT_EQ(logLineText(u"name\tsize"), u"name\\tsize") << "a terminal line escapes it";
    EXPECT_EQ(reportLineText(u"a\r\nb\x1b[2J\u2028"), u"a\\r\\nb\\x1b[2J\\u2028");
    const std::u16string tabs(kMaxLogLine + 5, u'\t');
    EXPECT_EQ(reportLineText(tabs), std::u16string(kMaxLogLine, u'\t') + u"...[cut 5 more]");
}

// A line formatted in place behind its stamp is made safe where it stands,
// exactly as the text alone would be, and the stamp before it is untouched.
TEST(LogTextTest, TextMadeSafeInPlaceMatchesTheTextMadeSafeAlone) {
    using holm::common::kMaxLogLine;
    using holm::common::makeReportLineText;
    using holm::common::reportLineText;
    const std::u16string stamp = u"12/07/2026,09:05:03 [ERROR] ";
    const std::u16string texts[] = {
        u"",
        u"plain text\twith a tab",
        u"caf\u00e9 \u20ac \U0001F600 kept",
        u"a\r\nforged\x1b[2J\u2028\u202e",
        std::u16string(kMaxLogLine + 3, u'x'),
        std::u16string(kMaxLogLine - 1, u'y') + u"\U0001F600",
    };
    for (const auto& text : texts) {
        std::u16string line = stamp + text;
        makeReportLineText(line, stamp.size());
        EXPECT_EQ(line, stamp + reportLineText(text)) << text.size();
    }
    // Plain ASCII is recognised eight and four units at a time: a unit to
    // escape (or a kept one just outside the range) is found wherever it
    // stands, in a block of eight, of four or in the rest.
    for (const char16_t unit : {u'\x1f', u'\x7f', u'\x80', u'\x9f', u'\t', u'\u202a', u'\uffff',
                                u'\u8000', u'\u0120', u'\u7f41', u' ', u'~'}) {
        for (size_t at = 0; at < 15; ++at) {
            std::u16string text(15, u'a');
            text[at] = unit;
            std::u16string line = stamp + text;
            makeReportLineText(line, stamp.size());
            EXPECT_EQ(line, stamp + reportLineText(text)) << int(unit) << " at " << at;
        }
    }
}

}  // namespace
