#include "platform/local_time.h"

#include <cstdio>
#include <string_view>

#include "platform/win/native.h"

namespace holm::platform {
namespace {

// The locale's short date pattern with a two-digit year ("yy") widened to
// four ("yyyy"), and a day or month without a leading zero ("d", "M")
// given one: the fields of a log line keep their width, as the other
// systems' date formats have them.
std::wstring fixedWidthDatePattern(const wchar_t* locale) {
    wchar_t buffer[96];
    if (::GetLocaleInfoEx(locale, LOCALE_SSHORTDATE, buffer, 96) == 0) {
        return L"MM/dd/yyyy";
    }
    std::wstring pattern = buffer;
    std::wstring widened;
    for (size_t i = 0; i < pattern.size();) {
        const wchar_t field = pattern[i];
        size_t run = 1;
        while (i + run < pattern.size() && pattern[i + run] == field) {
            ++run;
        }
        if (field == L'y' && run <= 2) {
            run = 4;
        } else if ((field == L'd' || field == L'M') && run == 1) {
            run = 2;
        }
        widened.append(run, field);
        while (i < pattern.size() && pattern[i] == field) {
            ++i;
        }
    }
    return widened;
}

std::string formatDate(const LocalTime& time, const wchar_t* locale) {
    SYSTEMTIME system{};
    system.wYear = time.year;
    system.wMonth = time.month;
    system.wDayOfWeek = time.dayOfWeek;
    system.wDay = time.day;
    const std::wstring pattern = fixedWidthDatePattern(locale);
    wchar_t buffer[128];
    const int length = ::GetDateFormatEx(locale, 0, &system, pattern.c_str(), buffer, 128, nullptr);
    if (length <= 0) {
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "%02u/%02u/%04u", time.month, time.day, time.year);
        return fallback;
    }
    return win::narrow(std::wstring_view(buffer, static_cast<size_t>(length - 1)));
}

}  // namespace

LocalTime localTimeNow() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                     now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
}

// The system time is kept per tick already.
LocalTime localTimeNowCoarse() {
    return localTimeNow();
}

// The system default locale here is the user's locale setting.
std::string shortDate(const LocalTime& time) {
    return formatDate(time, LOCALE_NAME_USER_DEFAULT);
}

// `localeName` in the POSIX spelling ("de_DE.UTF-8"); "C" and "POSIX" are
// the invariant locale with the month first, as in the C locale.
std::string shortDate(const LocalTime& time, const char* localeName) {
    std::string_view name = localeName == nullptr ? "C" : localeName;
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") {
        return formatDate(time, L"en-US");
    }
    std::wstring windowsName = win::wide(name);
    for (wchar_t& c : windowsName) {
        if (c == L'_') {
            c = L'-';
        }
    }
    if (::IsValidLocaleName(windowsName.c_str()) == 0) {
        return formatDate(time, L"en-US");
    }
    return formatDate(time, windowsName.c_str());
}

std::string time24(const LocalTime& time) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u", time.hour % 100u, time.minute % 100u,
                  time.second % 100u);
    return buffer;
}

}  // namespace holm::platform
