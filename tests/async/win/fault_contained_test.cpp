// Dispatcher callbacks and thread bodies through the core's boundary on
// Windows: a body or callback that faults is reported, and the next event
// is still delivered. The fault is contained in this process: the guard is a
// vectored handler, with no sanitizer to keep away from the fault.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "async/support/fault_scenario.h"
#include "common/utf16.h"
#include "core/async_gate.h"

namespace {

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

TEST(AsyncFaultContained, FaultingCallbackAndBodyAreReportedAndWorkGoesOn) {
    RecordingHost host;
    holm::core::AsyncGate gate({nullptr, &host});
    EXPECT_EQ(holm::test::runFaultingScenario(gate, "C:/nonexistent"), std::vector<uintptr_t>{2});
    const std::string lines = host.lines();
    EXPECT_NE(lines.find("IThread(Faulter)::run"), std::string::npos) << lines;
    EXPECT_NE(lines.find("IAsyncHandler::onAsyncEvent"), std::string::npos) << lines;
}

}  // namespace
