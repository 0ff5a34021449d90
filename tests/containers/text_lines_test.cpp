#include "containers/text_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using holm::containers::appendEncodedLine;
using holm::containers::cleanLine;
using holm::containers::TextEncoding;
using holm::containers::TextLineDecoder;
using Lines = std::vector<std::u16string>;

// The lines of `bytes`, fed to the decoder in chunks of `chunk` bytes.
Lines decodeInChunks(std::string_view bytes, TextEncoding encoding, size_t chunk) {
    TextLineDecoder decoder(encoding);
    Lines lines;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        decoder.feed(bytes.substr(at, chunk), lines);
    }
    decoder.finish(lines);
    return lines;
}

Lines decode(std::string_view bytes, TextEncoding encoding) {
    return decodeInChunks(bytes, encoding, bytes.size() + 1);
}

std::string utf16Le(std::u16string_view text) {
    std::string bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

TEST(TextLines, CleaningTurnsLineEndsIntoBarsAndTrimsBars) {
    EXPECT_EQ(cleanLine(u"a\r"), u"a");
    EXPECT_EQ(cleanLine(u"x\ry"), u"x|y");
    EXPECT_EQ(cleanLine(u"||a|b||"), u"a|b");
    EXPECT_EQ(cleanLine(u"|\r|"), u"");
    EXPECT_EQ(cleanLine(u""), u"");
}

TEST(TextLines, LineEndsEmptyLinesAndTheLastLine) {
    EXPECT_EQ(decode("a\r\n\r\nb", TextEncoding::Utf8), (Lines{u"a", u"", u"b"}));
    EXPECT_EQ(decode("a\r\n", TextEncoding::Utf8), (Lines{u"a"}));
    EXPECT_EQ(decode("a\nb\n\n", TextEncoding::Utf8), (Lines{u"a", u"b", u""}));
    EXPECT_EQ(decode("a\n|\r", TextEncoding::Utf8), (Lines{u"a"}));
    EXPECT_EQ(decode("", TextEncoding::Utf8), Lines{});
    EXPECT_EQ(decode(utf16Le(u"a\r\n\r\nb"), TextEncoding::Utf16Le), (Lines{u"a", u"", u"b"}));
}

// Each line is cleaned whole, so a '|' is kept wherever a chunk ends.
TEST(TextLines, LinesComeOutTheSameForEveryChunkSize) {
    const std::string utf8 =
        "first|line\r\n|x|\r\n\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80 end\r\nlast";
    const Lines expected{u"first|line", u"x", u"\u00E4\u20AC\U0001F600 end", u"last"};
    const std::string utf16 = utf16Le(u"first|line\r\n|x|\r\n\u00E4\u20AC\U0001F600 end\r\nlast");
    for (size_t chunk = 1; chunk <= utf8.size(); ++chunk) {
        EXPECT_EQ(decodeInChunks(utf8, TextEncoding::Utf8, chunk), expected) << chunk;
    }
    for (size_t chunk = 1; chunk <= utf16.size(); ++chunk) {
        EXPECT_EQ(decodeInChunks(utf16, TextEncoding::Utf16Le, chunk), expected) << chunk;
    }
}

TEST(TextLines, BadBytesBecomeReplacementCharactersAndLoseNothingElse) {
    EXPECT_EQ(decode(std::string("a\0b\nc", 5), TextEncoding::Utf8), (Lines{u"a\uFFFDb", u"c"}));
    EXPECT_EQ(decode("a\xFF"
                     "b\n\xE2\x82",
                     TextEncoding::Utf8),
              (Lines{u"a\uFFFDb", u"\uFFFD"}));
    // An odd byte count: the last byte cannot form a unit.
    EXPECT_EQ(decode(utf16Le(u"ab") + "x", TextEncoding::Utf16Le), (Lines{u"ab\uFFFD"}));
    // A lone surrogate stays the unit it is.
    EXPECT_EQ(decode(utf16Le(u"a\xD800"), TextEncoding::Utf16Le), (Lines{u"a\xD800"}));
}

TEST(TextLines, LongLineComesBackWhole) {
    const std::u16string line(5000, u'x');
    EXPECT_EQ(decodeInChunks(utf16Le(line + u"\r\n"), TextEncoding::Utf16Le, 1998), Lines{line});
}

TEST(TextLines, EncodingEndsEveryLineInCrLf) {
    std::string bytes;
    appendEncodedLine(u"ab", TextEncoding::Utf16Le, bytes);
    EXPECT_EQ(bytes, std::string("a\0b\0\r\0\n\0", 8));
    bytes.clear();
    appendEncodedLine(u"\u00E4\xD800", TextEncoding::Utf8, bytes);
    EXPECT_EQ(bytes, "\xC3\xA4\xEF\xBF\xBD\r\n");
}

}  // namespace
