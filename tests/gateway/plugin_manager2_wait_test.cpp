// The second plugin manager's waits, with the system's view of a thread
// telling when a call has reached its wait (gateway/support/thread_state.h).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "gateway/support/plugin_manager2_fixture.h"
#include "gateway/support/thread_state.h"
#include "platform/process_info.h"

namespace {

using holm::test::kDeadlineMs;
using holm::test::PluginManager2Test;

// A call that waits for a busy plugin goes on as soon as the plugin's call
// returns, not when the busy limit runs out: the limit here is far longer
// than the test's deadline.
TEST_F(PluginManager2Test, ACallWaitingForABusyPluginGoesOnWhenItsCallReturns) {
    ASSERT_EQ(initialize({"Test/BlockStart/1.0"}), 0u);
    manager_->setBusyWaitLimit(std::chrono::minutes(2));
    auto starting = std::async(std::launch::async, [&] { manager_->start(true); });
    ASSERT_TRUE(controls_.waitFor("BlockStart:start", kDeadlineMs));

    std::promise<uint32_t> creator;
    auto creatorId = creator.get_future();
    auto creating = std::async(std::launch::async, [&] {
        creator.set_value(holm::platform::currentThreadId());
        return manager_->createObject("Test/BlockStart/1.0", "Thing");
    });
    const uint32_t tid = creatorId.get();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (!holm::test::threadWaits(tid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(creating.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "createObject did not wait for the busy plugin";

    controls_.openGate();
    ASSERT_EQ(creating.wait_for(std::chrono::milliseconds(kDeadlineMs)), std::future_status::ready)
        << "createObject still waits after the plugin's start returned";
    HlmPlg::RefPtr<HlmPlg::IPluginObject2> made(creating.get());
    EXPECT_TRUE(static_cast<bool>(made));
    starting.get();
}

}  // namespace
