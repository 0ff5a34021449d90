// The time worker's clock: whole seconds on a monotonic clock and the tick
// it polls at. A seam, so that tests of the tick and of periodic elements
// drive time themselves instead of waiting real seconds.
#pragma once

#include <cstdint>

#include "hlmplg/thread.h"

namespace holm::async {

class AsyncClock {
  public:
    virtual ~AsyncClock() = default;
    // Seconds on a clock that never steps back (a wall-clock change does not
    // move it).
    virtual int64_t nowSeconds() = 0;
    // Waits for the next tick: true at the tick, false once `stop` is set.
    virtual bool waitForTick(HlmPlg::IStopEvent& stop) = 0;
};

// The system's monotonic clock with a tick every 2 seconds.
class SteadyAsyncClock final : public AsyncClock {
  public:
    static constexpr uint32_t kTickMilliseconds = 2000;

    int64_t nowSeconds() override;
    bool waitForTick(HlmPlg::IStopEvent& stop) override;
};

}  // namespace holm::async
