#include "utilities/run_performance.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/utf16.h"

namespace Tandro::Utilities {

bool GenericRunPerformance::TraceEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("HOLM_TRACE_PERFORMANCE");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

GenericRunPerformance::GenericRunPerformance(std::u16string_view name) {
    if (TraceEnabled()) {
        running_ = true;
        name_ = holm::common::utf16ToUtf8(name);
        start_ = std::chrono::steady_clock::now();
    }
}

GenericRunPerformance::~GenericRunPerformance() {
    Stop();
}

void GenericRunPerformance::Stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start_);
    std::fprintf(stderr, "holm-performance: %s: %lld us\n", name_.c_str(),
                 static_cast<long long>(elapsed.count()));
}

}  // namespace Tandro::Utilities
