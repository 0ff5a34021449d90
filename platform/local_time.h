// The wall-clock time in the system's local time zone, broken down.
#pragma once

namespace holm::platform {

struct LocalTime {
    int year = 0;    // e.g. 2024
    int month = 0;   // 1 to 12
    int day = 0;     // 1 to 31
    int hour = 0;    // 0 to 23
    int minute = 0;  // 0 to 59
    int second = 0;  // 0 to 60 (a leap second)
};

// Now, in local time; all zero if the time cannot be converted.
LocalTime localTimeNow();

}  // namespace holm::platform
