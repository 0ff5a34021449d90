// Timing of a named stretch of work for the diagnostic trace.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace Tandro::Utilities {

// Measures from construction to Stop() (or destruction, whichever comes
// first) and writes one line "holm-performance: <name>: <microseconds> us" to
// the standard error stream when the trace is on (environment variable
// HOLM_TRACE_PERFORMANCE=1, read once per process). With the trace off, which
// is the default, it costs one flag test and takes no time stamps.
class GenericRunPerformance {
  public:
    explicit GenericRunPerformance(std::u16string_view name);
    ~GenericRunPerformance();
    GenericRunPerformance(const GenericRunPerformance&) = delete;
    GenericRunPerformance& operator=(const GenericRunPerformance&) = delete;

    // Ends the measurement and writes its line; later calls do nothing.
    void Stop();

    // Whether the performance trace is on in this process.
    static bool TraceEnabled();

  private:
    bool running_ = false;
    std::string name_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace Tandro::Utilities
