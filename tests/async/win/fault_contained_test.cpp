// Dispatcher callbacks and thread bodies through the core's boundary on
// Windows: a body or callback that faults is reported, and the next event
// is still delivered. The fault is contained in this process: the guard is a
// vectored handler, with no sanitizer to keep away from the fault.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "async/support/async_fixture.h"
#include "async/thread_impl.h"
#include "common/utf16.h"
#include "core/async_gate.h"

namespace {

using holm::test::RecordingHandler;

class RecordingHost : public HlmPlg::IHlmCoreHandler {
  public:
    void log(uint32_t, const char16_t*, const char16_t* text) override {
        std::lock_guard lock(mutex_);
        lines_ += holm::common::utf16ToUtf8(text) + "\n";
    }
    std::string lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    std::string lines_;
};

[[noreturn]] void faultHere() {
    __builtin_trap();  // an illegal instruction
}

class FaultingThreadBody : public HlmPlg::IThreadHandler {
  public:
    const char16_t* getThreadName() override { return u"Faulter"; }
    uint32_t run(HlmPlg::IStopEvent*) override { faultHere(); }
};

TEST(AsyncFaultContained, FaultingCallbackAndBodyAreReportedAndWorkGoesOn) {
    RecordingHost host;
    holm::core::AsyncGate gate({nullptr, &host});
    {
        holm::async::CThreadImpl thread(gate);
        FaultingThreadBody body;
        thread.registerHandler(&body);
        ASSERT_TRUE(thread.start(0));
        EXPECT_TRUE(thread.stop()) << "the thread ended cleanly";
    }
    auto clock = std::make_unique<holm::test::ManualClock>();
    holm::test::ManualClock* ticks = clock.get();
    holm::async::CAsyncImplObjects dispatcher(gate, std::move(clock), "C:/nonexistent");
    RecordingHandler handler;
    bool faulted = false;
    handler.onEvent = [&](HlmPlg::IAsyncEvent*) {
        if (!std::exchange(faulted, true)) {
            faultHere();
        }
    };
    holm::async::CAsyncImpl async(dispatcher, gate);
    async.registerHandler(&handler);
    async.fireNow(1);
    ASSERT_TRUE(ticks->tick());
    async.fireNow(2);
    ASSERT_TRUE(ticks->tick());
    EXPECT_EQ(handler.users(), std::vector<uintptr_t>{2});
    const std::string lines = host.lines();
    EXPECT_NE(lines.find("IThread(Faulter)::run"), std::string::npos) << lines;
    EXPECT_NE(lines.find("IAsyncHandler::onAsyncEvent"), std::string::npos) << lines;
}

}  // namespace
