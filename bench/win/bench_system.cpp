#include <windows.h>
// After <windows.h>, whose types it uses.
#include <psapi.h>

#include <system_error>

#include "bench/support/bench_support.h"

namespace holm::bench {

std::filesystem::path memoryBackedDirectory() {
    // Named events are kernel objects here: the directory holds nothing.
    std::error_code error;
    return std::filesystem::temp_directory_path(error);
}

long residentKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) {
        return 0;
    }
    return static_cast<long>(counters.WorkingSetSize / 1024);
}

double processCpuSeconds() {
    FILETIME creation{};
    FILETIME exit{};
    FILETIME kernel{};
    FILETIME user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) {
        return 0;
    }
    // FILETIME counts 100-nanosecond units.
    auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

}  // namespace holm::bench
