// Dispatcher callbacks and thread bodies through the core's boundary: a
// callback that faults is reported and the next event is still delivered.
// The scenario runs in a child process (this program, filtered to
// AsyncFaultInChild.Run), as every test of a processor fault does: the
// sanitizers must be told before start to leave the fault signals to the
// program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "async/support/fault_scenario.h"
#include "common/utf16.h"
#include "core/async_gate.h"
#include "platform/process_info.h"
#include "platform/spawn.h"

namespace {

// Prints what the boundary reports to the host.
class PrintingHost : public HlmPlg::IHlmCoreHandler {
  public:
    void log(uint32_t, const char16_t*, const char16_t* text) override {
        std::printf("HOST %s\n", holm::common::utf16ToUtf8(text).c_str());
        std::fflush(stdout);
    }
};

TEST(AsyncFaultInChild, Run) {
    if (std::getenv("HOLM_ASYNC_FAULT_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as a child of AsyncFault";
    }
    PrintingHost host;
    holm::core::AsyncGate gate({nullptr, &host});
    if (holm::test::runFaultingScenario(gate, "/nonexistent") == std::vector<uintptr_t>{2}) {
        std::printf("DELIVERED AFTER FAULT\n");
    }
}

TEST(AsyncFault, FaultingCallbackAndBodyAreReportedAndWorkGoesOn) {
    const auto result = holm::platform::runProcess(
        {holm::platform::executablePath(), "--gtest_filter=AsyncFaultInChild.Run"},
        {"HOLM_ASYNC_FAULT_CHILD=1",
         "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
         "allow_user_segv_handler=1:detect_leaks=0"},
        std::chrono::seconds(60));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("IThread(Faulter)::run"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("IAsyncHandler::onAsyncEvent"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("DELIVERED AFTER FAULT"), std::string::npos) << result.output;
}

}  // namespace
