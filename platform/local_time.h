// The local wall-clock time, and the date and time texts of log lines.
//
// Locale rule: the "system default" locale is the one the process
// environment names for dates (LC_ALL, else LC_TIME, else LANG), read once.
// The short date is that locale's date format (d_fmt) with a two-digit year
// widened to four digits ("12/07/2026" in the C locale, "07.12.2026" in
// de_DE). The time is always 24-hour "HH:MM:SS" without a marker, whatever
// the locale: a log is read by programs as much as by people.
#pragma once

#include <cstdint>
#include <string>

namespace holm::platform {

// Fields as the log entries keep them, 16 bits each.
struct LocalTime {
    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 = Sunday
    uint16_t day = 0;        // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;
};

// Now, in the process's local time zone.
LocalTime localTimeNow();
// Now, for stamps that show seconds: read from the clock the system updates
// once per tick, which costs a fraction of the exact one and may lag it by a
// tick (a few milliseconds). Successive readings never go back.
LocalTime localTimeNowCoarse();

// The short date of `time` in the system default locale (see above), or in
// the locale named `localeName` ("C", "de_DE.UTF-8", ...; an unknown name
// falls back to "C"). UTF-8.
std::string shortDate(const LocalTime& time);
std::string shortDate(const LocalTime& time, const char* localeName);
// "HH:MM:SS", 24-hour.
std::string time24(const LocalTime& time);

// Whether `a` and `b` fall in the same second: a stamp made from one, which
// shows seconds, serves the other.
inline bool sameSecond(const LocalTime& a, const LocalTime& b) {
    return a.second == b.second && a.minute == b.minute && a.hour == b.hour && a.day == b.day &&
           a.month == b.month && a.year == b.year;
}

}  // namespace holm::platform
