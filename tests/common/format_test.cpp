#include "common/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/utf16.h"

namespace holm::common {
namespace {

// va_list builders: each forwards its own arguments to one entry point.
std::u16string wide(const char16_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::u16string out = vformatPrintf(fmt, args);
    va_end(args);
    return out;
}
std::string narrow(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = vformatPrintf(fmt, args);
    va_end(args);
    return out;
}
std::u16string narrowToWide(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::u16string out = vformatPrintfNarrowToWide(fmt, args);
    va_end(args);
    return out;
}
std::u16string message(const char16_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::u16string out = vformatMessage(fmt, args);
    va_end(args);
    return out;
}
std::u16string selecting(const char16_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::u16string out = vformat(fmt, args);
    va_end(args);
    return out;
}

template <class... Args>
std::string libc(const char* fmt, Args... args) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, fmt, args...);
    return buffer;
}

// Integer conversions with every combination of flags, width and precision
// must match the C library wherever the C and LLP64 rules agree.
TEST(FormatPrintf, IntegersMatchTheCLibraryForEveryFlagCombination) {
    const std::string flagSet = "-+ 0#";
    const int values32[] = {0, 1, -1, 42, 0x7FFF, INT_MIN, INT_MAX};
    const long long values64[] = {0, -1, 1LL << 40, LLONG_MIN, LLONG_MAX};
    // MinGW-w64's C library departs from C in corner cases (it applies the
    // sign flags to unsigned conversions and drops the zero "%#.o" must
    // print), so it is no reference; IntegerCornersFollowC checks those.
    if (libc("% u", 0u) != "0" || libc("%#.o", 0u) != "0") {
        GTEST_SKIP() << "the C library's integer conversions depart from C";
    }
    for (unsigned mask = 0; mask < 32; ++mask) {
        std::string flags;
        for (unsigned bit = 0; bit < 5; ++bit) {
            if (mask & (1u << bit)) {
                flags += flagSet[bit];
            }
        }
        for (const char* width : {"", "1", "8", "25"}) {
            for (const char* precision : {"", ".", ".0", ".3", ".12"}) {
                for (char conversion : std::string("diouxX")) {
                    const std::string conv = "%" + flags + width + precision;
                    const std::string fmt32 = "<" + conv + conversion + ">";
                    for (int value : values32) {
                        ASSERT_EQ(narrow(fmt32.c_str(), value), libc(fmt32.c_str(), value))
                            << fmt32 << " " << value;
                    }
                    const std::string fmt64 = conv + "ll" + conversion;
                    for (long long value : values64) {
                        ASSERT_EQ(narrow(fmt64.c_str(), value), libc(fmt64.c_str(), value))
                            << fmt64 << " " << value;
                    }
                }
            }
        }
    }
}

TEST(FormatPrintf, IntegerCornersFollowC) {
    EXPECT_EQ(narrow("<% u|%+u|% x|%+o>", 0u, 5u, 10u, 8u), "<0|5|a|10>");
    EXPECT_EQ(narrow("<%#.o|%#.0o|%.0u|%#.x|%#x>", 0u, 0u, 0u, 0u, 0u), "<0|0|||0>");
    EXPECT_EQ(narrow("<%#o|%#5.3o|%#x>", 8u, 8u, 255u), "<010|  010|0xff>");
    EXPECT_EQ(narrow("<% d|%+d|% +d|%+.0d>", 1, 1, 1, 0), "< 1|+1|+1|+>");
}

TEST(FormatPrintf, FloatingPointMatchesTheCLibrary) {
    const double values[] = {0.0, -0.0, -1.5, 3.14159265, 1e300, 2.5e-10, INFINITY, NAN};
    for (const char* flags : {"", "-", "+", " ", "0", "#", "+0"}) {
        for (const char* width : {"", "12"}) {
            for (const char* precision : {"", ".0", ".4"}) {
                for (char conversion : std::string("eEfFgGaA")) {
                    const std::string fmt =
                        std::string("%") + flags + width + precision + conversion;
                    for (double value : values) {
                        ASSERT_EQ(narrow(fmt.c_str(), value), libc(fmt.c_str(), value)) << fmt;
                    }
                }
            }
        }
    }
    EXPECT_EQ(wide(u"%.2f|%Lg", 2.345, 1.5L), u"2.35|1.5");
}

TEST(FormatPrintf, ReadsIntegersWithLlp64Sizes) {
    const long long big = 0x100000005LL;  // above 32 bits
    EXPECT_EQ(wide(u"%d %ld %u %lx", big, big, big, big), u"5 5 5 5");
    EXPECT_EQ(wide(u"%lld %I64d %jd", big, big, big), u"4294967301 4294967301 4294967301");
    EXPECT_EQ(wide(u"%I64x %I64X %llo", big, big, big), u"100000005 100000005 40000000005");
    EXPECT_EQ(wide(u"%Id %zu %td %Ix", big, big, big, big),
              u"4294967301 4294967301 4294967301 100000005");
    EXPECT_EQ(wide(u"%I32d %I32u", big, -1LL), u"5 4294967295");
    EXPECT_EQ(wide(u"%hd %hu %hhd %hhx", 70000, 65537, 300, 0x1FF), u"4464 1 44 ff");
    EXPECT_EQ(wide(u"%lld %I64u", LLONG_MIN, ULLONG_MAX),
              u"-9223372036854775808 18446744073709551615");
    // Sizes affect only their own conversion: later arguments stay in place.
    EXPECT_EQ(wide(u"%d|%I64d|%d", 1, 1LL << 33, 3), u"1|8589934592|3");
}

TEST(FormatPrintf, PrintsPointersAsSixteenUpperCaseDigits) {
    auto* pointer = reinterpret_cast<void*>(uintptr_t{0xABCDEF12});
    EXPECT_EQ(wide(u"%p", pointer), u"00000000ABCDEF12");
    EXPECT_EQ(wide(u"[%20p]", nullptr), u"[    0000000000000000]");
    EXPECT_EQ(narrow("[%-18p]", pointer), "[00000000ABCDEF12  ]");
}

TEST(FormatPrintf, TakesWidthAndPrecisionFromArguments) {
    EXPECT_EQ(wide(u"[%*d]", 5, 42), u"[   42]");
    EXPECT_EQ(wide(u"[%*d]", -5, 42), u"[42   ]");
    EXPECT_EQ(wide(u"[%.*d]", 4, 42), u"[0042]");
    EXPECT_EQ(wide(u"[%.*d]", -1, 42), u"[42]");
    EXPECT_EQ(wide(u"[%*.*s]", 6, 2, u"abcdef"), u"[    ab]");
    EXPECT_EQ(wide(u"[%-*s]", 4, u"x"), u"[x   ]");
}

TEST(FormatPrintf, ClampsHugeWidthsAndPrecisions) {
    EXPECT_EQ(wide(u"%99999999999d", 1).size(), 4096u);
    EXPECT_EQ(wide(u"%.99999d", 1).size(), 4096u);
    EXPECT_EQ(wide(u"%*d", INT_MAX, 1).size(), 4096u);
    EXPECT_EQ(wide(u"%*d", INT_MIN, 1).size(), 4096u);
    EXPECT_EQ(narrow("%.*f", INT_MAX, 1.0).size(), 4098u);
    EXPECT_EQ(narrow("%5000.3000f", 1e300).size(), 4096u);
    EXPECT_EQ(wide(u"%.99999s", u"short"), u"short");  // a string's precision only limits
}

// Plain conversions of a wide format take a shorter path than flagged ones:
// both must give the C library's text and take the arguments in order.
TEST(FormatPrintf, PlainWideConversionsMatchTheCLibrary) {
    for (int value : {0, 1, -1, 9, 10, 99, 100, 12345, INT_MIN, INT_MAX}) {
        for (const char* conv : {"<%d>", "<%i>", "<%u>", "<%-d>", "<%-i>", "<%-u>"}) {
            EXPECT_EQ(wide(utf8ToUtf16(conv).c_str(), value), utf8ToUtf16(libc(conv, value)))
                << conv << " " << value;
        }
    }
    EXPECT_EQ(wide(u"%s=%5d, %u%%%s|%-3s|%d", u"a", -7, 8u, u"", u"b", 3), u"a=   -7, 8%|b  |3");
}

TEST(FormatPrintf, CopiesPercentNAndUnknownConversionsLiterally) {
    int written = -7;
    EXPECT_EQ(wide(u"a%nb%d", &written, 7), u"a%nb7");
    EXPECT_EQ(written, -7);
    EXPECT_EQ(narrow("%5n|%d", &written, 8), "%5n|8");
    EXPECT_EQ(wide(u"%y %5k %Z|%d", 9), u"%y %5k %Z|9");
    EXPECT_EQ(wide(u"100%% %5%"), u"100% %");
    EXPECT_EQ(wide(u"end%"), u"end%");
    EXPECT_EQ(wide(u"end%-08.3l"), u"end%-08.3l");
    EXPECT_EQ(wide(u"%hhs|%d", 1), u"%hhs|1");
}

TEST(FormatPrintf, ChoosesStringWidthsByTheWindowsRules) {
    const char* utf8 = "\xC3\xA9t\xC3\xA9";  // "été"
    const char16_t* utf16 = u"\u00e9t\u00e9";
    EXPECT_EQ(wide(u"%s|%S|%hs|%ls|%ws", utf16, utf8, utf8, utf16, utf16),
              u"\u00e9t\u00e9|\u00e9t\u00e9|\u00e9t\u00e9|\u00e9t\u00e9|\u00e9t\u00e9");
    EXPECT_EQ(narrow("%s|%S|%hs|%ls|%ws", utf8, utf16, utf8, utf16, utf16),
              "\xC3\xA9t\xC3\xA9|\xC3\xA9t\xC3\xA9|\xC3\xA9t\xC3\xA9|\xC3\xA9t\xC3\xA9|"
              "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(wide(u"%c%C%hc%lc%wc", u'\u00e9', 'a', 'b', u'c', u'd'), u"\u00e9abcd");
    EXPECT_EQ(narrow("%c%C%hc%lc", 'a', u'\u20ac', 'b', u'c'),
              "a\xE2\x82\xAC"
              "bc");
    // A narrow format converted to UTF-16 follows the UTF-16 rules.
    EXPECT_EQ(narrowToWide("\xC3\xA9: %s %S %d", utf16, utf8, 3),
              u"\u00e9: \u00e9t\u00e9 \u00e9t\u00e9 3");
    EXPECT_EQ(wide(u"%s|%S", static_cast<char16_t*>(nullptr), static_cast<char*>(nullptr)),
              u"(null)|(null)");
    EXPECT_EQ(wide(u"%S", "bad \xFF"), u"bad \uFFFD");
}

TEST(FormatPrintf, LimitsAndPadsStringsWithoutSplittingCharacters) {
    EXPECT_EQ(wide(u"[%.2s]", u"abc"), u"[ab]");
    EXPECT_EQ(wide(u"[%.2S]", "a\xC3\xA9"), u"[a]");        // no half of "é"
    EXPECT_EQ(wide(u"[%.1s]", u"\U0001F600x"), u"[]");      // no half of a pair
    EXPECT_EQ(narrow("[%.3s]", "ab\xE2\x82\xAC"), "[ab]");  // no part of "€"
    EXPECT_EQ(narrow("[%.5s]", "ab\xE2\x82\xAC"), "[ab\xE2\x82\xAC]");
    EXPECT_EQ(wide(u"[%5S]", "\xC3\xA9"), u"[    \u00e9]");  // width in output units
    EXPECT_EQ(wide(u"[%-4S]", "\xC3\xA9"), u"[\u00e9   ]");
    EXPECT_EQ(narrow("[%4S]", u"\u00e9"), "[  \xC3\xA9]");
    EXPECT_EQ(wide(u"[%3c]", u'x'), u"[  x]");
    // A precision bounds the read: the text need not be terminated.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(narrow("%.3s", unterminated), "xyz");
}

// A precision that ends inside the very first character leaves nothing: the
// cut looks back over every byte it keeps, down to the first.
TEST(FormatPrintf, APrecisionInsideTheFirstCharacterKeepsNothing) {
    EXPECT_EQ(narrow("[%.1s]", "\xC3\xA9"), "[]");          // 1 of 2 bytes of "é"
    EXPECT_EQ(narrow("[%.2s]", "\xE2\x82\xAC"), "[]");      // 2 of 3 bytes of "€"
    EXPECT_EQ(narrow("[%.3s]", "\xF0\x9F\x98\x80"), "[]");  // 3 of 4 bytes of U+1F600
    EXPECT_EQ(narrow("[%.2s]", "\xC3\xA9"), "[\xC3\xA9]");  // the whole of "é"
    EXPECT_EQ(wide(u"[%.1S]", "\xC3\xA9"), u"[]");          // narrow argument, wide format
    EXPECT_EQ(narrow("[%.1S]", u"\U0001F600"), "[]");       // wide argument, narrow format
    EXPECT_EQ(wide(u"[%.1s]", u"\U0001F600"), u"[]");       // half a surrogate pair
    EXPECT_EQ(wide(u"[%.2s]", u"\U0001F600"), u"[\U0001F600]");
    EXPECT_EQ(wide(u"[%.3s]", u"a\U0001F600"), u"[a\U0001F600]");
}

TEST(FormatMessage, InsertsArgumentsByPositionWithTheirTypes) {
    EXPECT_EQ(message(u"%1!d! items in %2", 3, u"list"), u"3 items in list");
    EXPECT_EQ(message(u"code %2!08X! from %1", u"plugin", 0xBEEF), u"code 0000BEEF from plugin");
    EXPECT_EQ(message(u"%1 and %1 again", u"it"), u"it and it again");
    EXPECT_EQ(message(u"%2 %1", u"world", u"hello"), u"hello world");
    EXPECT_EQ(message(u"%1!S! %2!hs! %3!ls!", "utf8", "narrow", u"wide"), u"utf8 narrow wide");
    EXPECT_EQ(message(u"%1!I64d!/%2!s!/%3!-4d!|", 1LL << 40, u"x", 5), u"1099511627776/x/5   |");
    EXPECT_EQ(message(u"%1!.2f! %2", 2.5, u"s"), u"2.50 s");
    EXPECT_EQ(message(u"%1!c!%2!C!", u'\u00e9', 'z'), u"\u00e9z");
}

TEST(FormatMessage, ReadsSkippedArgumentsAsPointerSized) {
    // Argument 2 is never inserted: it is read as a pointer-sized slot so that
    // argument 3 is found.
    EXPECT_EQ(message(u"%1-%3", u"a", 1LL << 40, u"c"), u"a-c");
    EXPECT_EQ(message(u"%3!d!", 1, 2, 3), u"3");
}

TEST(FormatMessage, HandlesEscapesAndTheEnd) {
    EXPECT_EQ(message(u"%1%%%n%t%r%.%!% x", u"a"), u"a%\n\t\r.! x");
    EXPECT_EQ(message(u"%1 shown%0 not shown", u"this"), u"this shown");
    EXPECT_EQ(message(u"%1 %q %", u"a"), u"a %q %");
    EXPECT_EQ(message(u"%12|%1", u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"10", u"11",
                      u"twelve"),
              u"twelve|1");
    EXPECT_EQ(message(u"%1%100", u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"h", u"i", u"ten"),
              u"aten0");
}

TEST(FormatMessage, CopiesRefusedInsertsLiterally) {
    EXPECT_EQ(message(u"%1!*d! %2", 5, u"x"), u"%1!*d! x");
    EXPECT_EQ(message(u"%1!n! %1!y!", u"a"), u"%1!n! %1!y!");
    EXPECT_EQ(message(u"%1!d", u"x"), u"x!d");
    // The slot is read once with the type of the first insert; a later insert
    // of another type is not allowed to reinterpret it as a pointer.
    EXPECT_EQ(message(u"%1!d! %1!s!", 5), u"5 %1!s!");  // no closing '!': a plain insert
}

TEST(FormatMessage, IsChosenWhenTheFormatContainsPercentOne) {
    EXPECT_EQ(selecting(u"%1!d!-%2", 7, u"m"), u"7-m");
    EXPECT_EQ(selecting(u"%d-%s", 7, u"p"), u"7-p");
    EXPECT_TRUE(isMessageFormat(u"x%1"));
    EXPECT_FALSE(isMessageFormat(u"%2 %d"));
}

enum class Code : uint16_t { Ok = 3 };

TEST(FormatTyped, FormatsCheckedArguments) {
    const std::u16string name = u"avplugin";
    const std::string narrowName = "core";
    EXPECT_EQ(format(u"PM(%s): plugin %s loaded in %d ms, code 0x%08X", u"Load", name, 12, 0xC0DEu),
              u"PM(Load): plugin avplugin loaded in 12 ms, code 0x0000C0DE");
    EXPECT_EQ(format(u"%S|%ls|%I64u|%d|%c", narrowName, std::u16string_view(u"v"),
                     uint64_t{1} << 40, Code::Ok, u'c'),
              u"core|v|1099511627776|3|c");
    EXPECT_EQ(format(u"%*d|%.1f|%p", -3, 1, 0.25, static_cast<const void*>(nullptr)),
              u"1  |0.2|0000000000000000");
    EXPECT_EQ(format(u"%2!d! %1", u"first", 2), u"2 first");
    EXPECT_EQ(format("%s %S %lld", "n", u"\u00e9", -1LL), "n \xC3\xA9 -1");
    EXPECT_EQ(format(u"no arguments %%"), u"no arguments %");

    std::u16string buffer = u">";
    formatTo(buffer, u"%d", 1);
    formatTo(buffer, u"%d", 2);
    EXPECT_EQ(buffer, u">12");
}

// The compile-time check: these formats would not compile with format().
static_assert(isValidFormat<char16_t, int, const char16_t*>(u"%d %s"));
static_assert(isValidFormat<char16_t, std::string>(u"%S"));
static_assert(isValidFormat<char16_t, int64_t>(u"%lld"));
static_assert(isValidFormat<char16_t, int, int>(u"%*d"));
static_assert(!isValidFormat<char16_t, int64_t>(u"%d"));  // too wide for 32 bits
static_assert(!isValidFormat<char16_t, int64_t>(u"%ld"));
static_assert(!isValidFormat<char16_t, const char*>(u"%s"));  // narrow text for %s
static_assert(!isValidFormat<char, const char16_t*>("%s"));   // narrow format: %s is narrow
static_assert(!isValidFormat<char16_t, int>(u"%d %d"));
static_assert(!isValidFormat<char16_t, int, int>(u"%d"));
static_assert(!isValidFormat<char16_t, double>(u"%d"));
static_assert(!isValidFormat<char16_t, int>(u"%f"));
static_assert(!isValidFormat<char16_t, int>(u"%p"));
static_assert(!isValidFormat<char16_t, int*>(u"%n"));
static_assert(!isValidFormat<char16_t>(u"%y"));
static_assert(!isValidFormat<char16_t, double, int>(u"%*d"));
static_assert(isValidFormat<char16_t, const char16_t*, int>(u"%2!d! %1"));
static_assert(!isValidFormat<char16_t, const char16_t*>(u"%2 %1"));
static_assert(!isValidFormat<char16_t, const char16_t*, int>(u"%1"));
static_assert(!isValidFormat<char16_t, int>(u"%1"));
static_assert(!isValidFormat<char16_t, int>(u"%1!*d!"));
// "%10d" contains "%1", so it is a message format: the check catches the slip.
static_assert(!isValidFormat<char16_t, int>(u"%10d"));
static_assert(isValidFormat<char, int>("%10d"));

TEST(FormatArgArray, CopiesConversionsWithoutAFittingArgument) {
    FormatArg number;
    number.integer = 5;
    const FormatArg args[] = {number};
    std::u16string out;
    appendPrintf(out, u"%d %d %s", args);
    EXPECT_EQ(out, u"5 %d %s");
    out.clear();
    appendPrintf(out, u"%s %*d", args);  // wrong kind, then nothing left for '*'
    EXPECT_EQ(out, u"%s %*d");
    out.clear();
    appendMessage(out, u"%1!d! %1 %2!d!", args);
    EXPECT_EQ(out, u"5 %1 %2!d!");
    std::string narrowOut;
    appendPrintf(narrowOut, "%p|%n|%lld", args);
    EXPECT_EQ(narrowOut, "%p|%n|%lld");

    const std::u16string loaded = u"%1 has %2!d! entries; %3";
    EXPECT_EQ(formatRuntime(loaded, u"list", 3), u"list has 3 entries; %3");
    EXPECT_EQ(formatRuntime(std::string_view("%s=%d"), "x", u"wrong"), "x=%d");
}

}  // namespace
}  // namespace holm::common

namespace {

std::u16string sql(const char16_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::u16string out = holm::common::vformatSql(fmt, args);
    va_end(args);
    return out;
}

TEST(SqlFormat, QuotesTextArgumentsInBothStyles) {
    const char16_t* nothing = nullptr;
    EXPECT_EQ(sql(u"'%q' %Q %Q %d", u"it's", u"a'b", nothing, 7), u"'it''s' 'a''b' NULL 7");
    EXPECT_EQ(sql(u"%hQ|%.3q|%6Q|%-6Q|", "x'y", u"ab'cd", u"a", u"b"),
              u"'x''y'|ab''|   'a'|'b'   |");
    EXPECT_EQ(sql(u"%2!d!: %1!Q! %1!q!", u"o'k", 5), u"5: 'o''k' o''k");
    EXPECT_EQ(sql(u"100%% %s", u"'raw'"), u"100% 'raw'") << "%s stays unquoted";
}

TEST(SqlFormat, OtherFormatsKeepQAsUnknown) {
    EXPECT_EQ(holm::common::formatRuntime(u"%q %Q %d", 5), u"%q %Q 5");
    EXPECT_EQ(holm::common::formatRuntime(u"%1!q! %1", u"x"), u"%1!q! x");
}

}  // namespace
