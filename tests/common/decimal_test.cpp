// The one reader of decimal integers in text.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/decimal.h"

namespace holm::common {
namespace {

TEST(DecimalTest, ReadsAsTheCRuntimeDoes) {
    EXPECT_EQ(readDecimal(u"42"), 42);
    EXPECT_EQ(readDecimal(u" \t\r\n-17"), -17);
    EXPECT_EQ(readDecimal(u"+8"), 8);
    EXPECT_EQ(readDecimal(u"12abc"), 12);
    EXPECT_EQ(readDecimal(u"abc"), 0);
    EXPECT_EQ(readDecimal(u""), 0);
    EXPECT_EQ(readDecimal(u"-"), 0);
    EXPECT_EQ(readDecimal(u"- 5"), 0);
}

TEST(DecimalTest, AValueBeyondTheRangeGivesTheNearestLimit) {
    EXPECT_EQ(readDecimal(u"2147483647"), INT32_MAX);
    EXPECT_EQ(readDecimal(u"2147483648"), INT32_MAX);
    EXPECT_EQ(readDecimal(u"-2147483648"), INT32_MIN);
    EXPECT_EQ(readDecimal(u"-2147483649"), INT32_MIN);
    EXPECT_EQ(readDecimal(u"99999999999999999999999999"), INT32_MAX);
}

TEST(DecimalTest, OnlyWhatPercentDPrintsIsAPrintedDecimal) {
    EXPECT_TRUE(isPrintedDecimal(u"0"));
    EXPECT_TRUE(isPrintedDecimal(u"-2147483648"));
    EXPECT_FALSE(isPrintedDecimal(u""));
    EXPECT_FALSE(isPrintedDecimal(u"-"));
    EXPECT_FALSE(isPrintedDecimal(u"+1"));
    EXPECT_FALSE(isPrintedDecimal(u" 1"));
    EXPECT_FALSE(isPrintedDecimal(u"1 "));
    EXPECT_FALSE(isPrintedDecimal(u"1x"));
}

}  // namespace
}  // namespace holm::common
