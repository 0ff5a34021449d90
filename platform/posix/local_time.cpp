#include "platform/local_time.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace holm::platform {
namespace {

struct tm brokenDown(const LocalTime& time) {
    struct tm fields {};
    fields.tm_year = time.year - 1900;
    fields.tm_mon = time.month - 1;
    fields.tm_mday = time.day;
    fields.tm_wday = time.dayOfWeek;
    fields.tm_hour = time.hour;
    fields.tm_min = time.minute;
    fields.tm_sec = time.second;
    return fields;
}

// The locale's date format with "%y" widened to "%Y".
std::string fourDigitYearFormat(locale_t locale) {
    std::string format = nl_langinfo_l(D_FMT, locale);
    for (size_t at = format.find("%y"); at != std::string::npos; at = format.find("%y", at + 2)) {
        format[at + 1] = 'Y';
    }
    return format.empty() ? std::string("%m/%d/%Y") : format;
}

std::string formatDate(const LocalTime& time, locale_t locale) {
    const struct tm fields = brokenDown(time);
    std::array<char, 64> buffer{};
    const size_t length = strftime_l(buffer.data(), buffer.size(),
                                     fourDigitYearFormat(locale).c_str(), &fields, locale);
    return std::string(buffer.data(), length);
}

// A locale for dates only; the C locale when the name is unknown.
locale_t openDateLocale(const char* name) {
    locale_t locale = newlocale(LC_TIME_MASK, name, locale_t{});
    return locale != locale_t{} ? locale : newlocale(LC_TIME_MASK, "C", locale_t{});
}

class DateLocale {
  public:
    explicit DateLocale(const char* name) : locale_(openDateLocale(name)) {}
    ~DateLocale() {
        if (locale_ != locale_t{}) {
            freelocale(locale_);
        }
    }
    DateLocale(const DateLocale&) = delete;
    DateLocale& operator=(const DateLocale&) = delete;
    locale_t get() const { return locale_; }

  private:
    locale_t locale_;
};

LocalTime localTimeAt(const struct timespec& now) {
    // localtime_r reads the zone once per process, so one second always
    // breaks down the same way: each thread converts a second once.
    thread_local time_t convertedSecond = -1;
    thread_local struct tm converted {};
    if (now.tv_sec != convertedSecond) {
        localtime_r(&now.tv_sec, &converted);
        convertedSecond = now.tv_sec;
    }
    const struct tm& fields = converted;
    LocalTime time;
    time.year = static_cast<uint16_t>(fields.tm_year + 1900);
    time.month = static_cast<uint16_t>(fields.tm_mon + 1);
    time.dayOfWeek = static_cast<uint16_t>(fields.tm_wday);
    time.day = static_cast<uint16_t>(fields.tm_mday);
    time.hour = static_cast<uint16_t>(fields.tm_hour);
    time.minute = static_cast<uint16_t>(fields.tm_min);
    time.second = static_cast<uint16_t>(fields.tm_sec);
    time.millisecond = static_cast<uint16_t>(now.tv_nsec / 1000000);
    return time;
}

}  // namespace

LocalTime localTimeNow() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return localTimeAt(now);
}

LocalTime localTimeNowCoarse() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return localTimeAt(now);
}

std::string shortDate(const LocalTime& time) {
    // "" names the locale of the environment; read once for the process.
    static const DateLocale systemDefault("");
    return formatDate(time, systemDefault.get());
}

std::string shortDate(const LocalTime& time, const char* localeName) {
    const DateLocale locale(localeName);
    return formatDate(time, locale.get());
}

std::string time24(const LocalTime& time) {
    std::array<char, 16> buffer{};
    const int length =
        std::snprintf(buffer.data(), buffer.size(), "%02u:%02u:%02u", unsigned{time.hour},
                      unsigned{time.minute}, unsigned{time.second});
    return std::string(buffer.data(), length > 0 ? static_cast<size_t>(length) : 0);
}

}  // namespace holm::platform
