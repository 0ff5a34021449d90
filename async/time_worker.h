// The time worker ("AsyncTimeThread"): fireNow (kind 0) and fireAfterNSec
// (kind 2) elements, checked at every tick of its clock (2 seconds).
#pragma once

#include "async/clock.h"
#include "async/worker.h"

namespace holm::async {

class CAsyncImplObjectTime final : public CAsyncImplObject {
  public:
    CAsyncImplObjectTime(PluginCallGate& gate, ElementLifetimes& lifetimes, AsyncClock& clock);
    ~CAsyncImplObjectTime() override;

    const char16_t* getThreadName() override { return u"AsyncTimeThread"; }
    uint32_t run(HlmPlg::IStopEvent* stop) override;

    AsyncClock& clock() { return clock_; }

  private:
    void onTick();

    AsyncClock& clock_;
};

}  // namespace holm::async
