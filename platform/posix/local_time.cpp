#include "platform/local_time.h"

#include <time.h>

namespace holm::platform {

LocalTime localTimeNow() {
    const time_t now = ::time(nullptr);
    struct tm parts {};
    if (::localtime_r(&now, &parts) == nullptr) {
        return {};
    }
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
            parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

}  // namespace holm::platform
