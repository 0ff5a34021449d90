#include "async/clock.h"

#include <chrono>

namespace holm::async {

int64_t SteadyAsyncClock::nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool SteadyAsyncClock::waitForTick(HlmPlg::IStopEvent& stop) {
    return !stop.wait(kTickMilliseconds);
}

}  // namespace holm::async
