#include "common/utf16.h"

#include <gtest/gtest.h>

namespace holm::common {
namespace {

constexpr char16_t R = kReplacementCharacter;

TEST(Utf16Conversion, RoundTripsAsciiAndEveryPlane) {
    const std::u16string wide =
        u"plain ASCII text, long enough for the 8-byte path: \u00e9\u20ac"
        u"\U0001F600 end";
    const std::string narrow = utf16ToUtf8(wide);
    EXPECT_EQ(narrow,
              "plain ASCII text, long enough for the 8-byte path: \xC3\xA9\xE2\x82\xAC"
              "\xF0\x9F\x98\x80 end");
    EXPECT_EQ(utf8ToUtf16(narrow), wide);
    EXPECT_EQ(utf8ToUtf16(""), u"");
}

TEST(Utf16Conversion, ReplacesEachMaximalInvalidPartOfUtf8) {
    struct Case {
        std::string input;
        std::u16string expected;
    };
    const Case cases[] = {
        {"\xC0\x80", {R, R}},                // overlong NUL
        {"\xE0\x80\x80", {R, R, R}},         // overlong 3-byte form
        {"\xED\xA0\x80", {R, R, R}},         // encoded surrogate
        {"\xF4\x90\x80\x80", {R, R, R, R}},  // above U+10FFFF
        {"\xE2\x82"
         "a",
         {R, u'a'}},            // truncated, then ASCII
        {"\xF0\x9F\x98", {R}},  // truncated at the end
        {"\x80\xFF", {R, R}},   // stray continuation, invalid byte
        {"a\xE2\x82\xAC\xC3", {u'a', 0x20AC, R}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8ToUtf16(c.input), c.expected) << "input size " << c.input.size();
    }
}

TEST(Utf16Conversion, DecodesTheSameWhateverTheBufferBoundaries) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE2\x82z\xF4\x90";
    const std::u16string whole = utf8ToUtf16(text);
    for (size_t split = 0; split <= text.size(); ++split) {
        Utf8ToUtf16Decoder decoder;
        std::u16string out;
        decoder.feed(std::string_view(text).substr(0, split), out);
        decoder.feed(std::string_view(text).substr(split), out);
        decoder.finish(out);
        EXPECT_EQ(out, whole) << "split at " << split;
    }
    Utf8ToUtf16Decoder byteByByte;
    std::u16string out;
    for (char byte : text) {
        byteByByte.feed(std::string_view(&byte, 1), out);
    }
    byteByByte.finish(out);
    EXPECT_EQ(out, whole);
}

TEST(Utf16Conversion, KeepsAPartialSequenceUntilFinish) {
    Utf8ToUtf16Decoder decoder;
    EXPECT_EQ(decoder.feed("x\xF0\x9F"), u"x");
    EXPECT_TRUE(decoder.hasPending());
    EXPECT_EQ(decoder.feed("\x98\x80"), u"\U0001F600");
    EXPECT_EQ(decoder.feed("\xE2"), u"");
    EXPECT_EQ(decoder.finish(), std::u16string(1, R));
    EXPECT_FALSE(decoder.hasPending());
}

TEST(Utf16Conversion, ReplacesLoneSurrogates) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xD800}), r);
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xDC00, u'a'}), r + "a");
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xD800, u'a'}), r + "a");
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xDC00, 0xD800}), r + r);  // reversed pair
}

TEST(Utf16Conversion, JoinsASurrogatePairSplitBetweenFeeds) {
    Utf16ToUtf8Encoder encoder;
    std::string out;
    encoder.feed(std::u16string{u'a', 0xD83D}, out);
    EXPECT_EQ(out, "a");
    encoder.feed(std::u16string{0xDE00}, out);
    encoder.finish(out);
    EXPECT_EQ(out, "a\xF0\x9F\x98\x80");
}

TEST(Utf16Conversion, DecodesUtf16LeBytesSplitAnywhere) {
    // "a" U+20AC U+1F600 in UTF-16LE.
    const std::string bytes("a\0\xAC\x20\x3D\xD8\x00\xDE", 8);
    for (size_t split = 0; split <= bytes.size(); ++split) {
        Utf16LeToUtf8Decoder decoder;
        std::string out;
        decoder.feed(bytes.substr(0, split), out);
        decoder.feed(bytes.substr(split), out);
        decoder.finish(out);
        EXPECT_EQ(out, "a\xE2\x82\xAC\xF0\x9F\x98\x80") << "split at " << split;
    }
    Utf16LeToUtf8Decoder odd;
    std::string out;
    odd.feed(std::string("b\0c", 3), out);
    EXPECT_TRUE(odd.hasPending());
    odd.finish(out);
    EXPECT_EQ(out, "b\xEF\xBF\xBD");
}

TEST(TextCase, FoldsAToZOnly) {
    EXPECT_EQ(foldCase(u'A'), u'a');
    EXPECT_EQ(foldCase(u'Z'), u'z');
    EXPECT_EQ(foldCase(u'@'), u'@');
    EXPECT_EQ(foldCase(u'\u00C4'), u'\u00C4');
    EXPECT_EQ(toUpperAscii(u"abz\u00e4_1"), u"ABZ\u00e4_1");
    EXPECT_EQ(toLowerAscii(u"ABZ\u00C4_1"), u"abz\u00C4_1");
}

TEST(TextCase, ComparesAndFindsFoldingAToZOnly) {
    EXPECT_EQ(compareNoCase(u"Plugin", u"pLUGIN"), 0);
    EXPECT_LT(compareNoCase(u"a", u"B"), 0);
    EXPECT_GT(compareNoCase(u"b", u"A"), 0);
    EXPECT_LT(compareNoCase(u"_", u"a"), 0);  // folded to lower case: '_' < 'a'
    EXPECT_LT(compareNoCase(u"ab", u"ABC"), 0);
    EXPECT_NE(compareNoCase(u"\u00e4", u"\u00C4"), 0);
    EXPECT_TRUE(equalsNoCase(u"Global\\Name", u"GLOBAL\\name"));
    EXPECT_FALSE(equalsNoCase(u"abc", u"abcd"));

    EXPECT_EQ(findNoCase(u"one TWO two", u"two"), 4u);
    EXPECT_EQ(findNoCase(u"one TWO two", u"two", 5), 8u);
    EXPECT_EQ(findNoCase(u"abc", u"abcd"), std::u16string_view::npos);
    EXPECT_EQ(findNoCase(u"abc", u"", 3), 3u);
    EXPECT_EQ(findNoCase(u"abc", u"", 4), std::u16string_view::npos);
}

TEST(TextHelpers, TrimsBlanksAndTruncatesToEightBits) {
    EXPECT_EQ(trim(u" \t\r\n x y \n"), u"x y");
    EXPECT_EQ(trim(u" \t "), u"");
    EXPECT_EQ(trim(std::string_view("\tkey=value\r\n")), "key=value");
    EXPECT_EQ(truncateToAscii(u"Holm/Gateway/1.0"), "Holm/Gateway/1.0");
    EXPECT_EQ(truncateToAscii(u"A\u0141\u00e9"), "AA\xE9");
}

}  // namespace
}  // namespace holm::common
