// Local time and the date texts of log lines on Windows.
#include <gtest/gtest.h>

#include "platform/local_time.h"

namespace holm::platform {
namespace {

TEST(WinLocalTimeTest, DatesFollowTheLocaleWithFourDigitYears) {
    LocalTime time;
    time.year = 2026;
    time.month = 12;
    time.day = 7;
    time.dayOfWeek = 1;
    time.hour = 15;
    time.minute = 4;
    time.second = 5;
    EXPECT_EQ(shortDate(time, "C"), "12/07/2026");
    EXPECT_EQ(shortDate(time, "no_SUCH.UTF-8"), "12/07/2026") << "an unknown locale is C";
    EXPECT_EQ(shortDate(time, "de_DE.UTF-8"), "07.12.2026");
    EXPECT_EQ(time24(time), "15:04:05");
    EXPECT_FALSE(shortDate(time).empty());

    const LocalTime now = localTimeNow();
    EXPECT_GE(now.year, 2024);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LT(now.millisecond, 1000);
}

}  // namespace
}  // namespace holm::platform
