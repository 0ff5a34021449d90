// What the fault tests run through the core's boundary: a thread body that
// faults, then a dispatcher whose first callback faults and whose second is
// delivered all the same.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "async/support/async_fixture.h"
#include "async/thread_impl.h"
#include "core/async_gate.h"

namespace holm::test {

[[noreturn]] inline void faultHere() {
    __builtin_trap();  // an illegal instruction
}

class FaultingThreadBody : public HlmPlg::IThreadHandler {
  public:
    const char16_t* getThreadName() override { return u"Faulter"; }
    uint32_t run(HlmPlg::IStopEvent*) override { faultHere(); }
};

// The user values the dispatcher delivered: {2} when the faulting callback
// was contained and the next event still came.
inline std::vector<uintptr_t> runFaultingScenario(core::AsyncGate& gate,
                                                  const std::string& runtimeDirectory) {
    {
        async::CThreadImpl thread(gate);
        FaultingThreadBody body;
        thread.registerHandler(&body);
        EXPECT_TRUE(thread.start(0));
        EXPECT_TRUE(thread.stop()) << "the thread ended cleanly";
    }
    auto clock = std::make_unique<ManualClock>();
    ManualClock* ticks = clock.get();
    async::CAsyncImplObjects dispatcher(gate, std::move(clock), runtimeDirectory);
    RecordingHandler handler;
    bool faulted = false;
    handler.onEvent = [&](HlmPlg::IAsyncEvent*) {
        if (!std::exchange(faulted, true)) {
            faultHere();
        }
    };
    async::CAsyncImpl async(dispatcher, gate);
    async.registerHandler(&handler);
    async.fireNow(1);
    EXPECT_TRUE(ticks->tick());
    async.fireNow(2);
    EXPECT_TRUE(ticks->tick());
    return handler.users();
}

}  // namespace holm::test
