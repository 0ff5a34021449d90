// The workers' wait set: keys of signalled sources, level-triggered
// batches, deadlines, and members that leave.
#include "platform/wait_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/manual_event.h"

namespace {

using holm::platform::ManualEvent;
using holm::platform::WaitSet;

std::vector<WaitSet::Key> sorted(std::span<const WaitSet::Key> keys) {
    std::vector<WaitSet::Key> copy(keys.begin(), keys.end());
    std::sort(copy.begin(), copy.end());
    return copy;
}

constexpr WaitSet::Key kWake = 100;

WaitSet::Deadline now() {
    return std::chrono::steady_clock::now();
}

TEST(WaitSet, ReportsSignalledSourcesUntilResetAndNothingAtTheDeadline) {
    WaitSet waits(kWake);
    ASSERT_TRUE(waits.valid());
    ManualEvent first;
    ManualEvent second;
    ASSERT_TRUE(waits.add(first.descriptor(), 7).ok());
    ASSERT_TRUE(waits.add(second.descriptor(), 9).ok());

    auto none = waits.wait(now());
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());

    first.set();
    second.set();
    auto both = waits.wait();
    ASSERT_TRUE(both.ok());
    EXPECT_EQ(sorted(*both), (std::vector<WaitSet::Key>{7, 9}));
    EXPECT_TRUE(holm::platform::containsKey(*both, 9));

    // Level-triggered: a source not acted on is reported again.
    second.reset();
    auto again = waits.wait(now());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(sorted(*again), (std::vector<WaitSet::Key>{7}));
    EXPECT_FALSE(holm::platform::containsKey(*again, 9));
}

TEST(WaitSet, RemovedSourceAndRefusedSourceAreNotWaitedOn) {
    WaitSet waits(kWake);
    ManualEvent event;
    ASSERT_TRUE(waits.add(event.descriptor(), 3).ok());
    event.set();
    waits.remove(event.descriptor());
    auto ready = waits.wait(now());
    ASSERT_TRUE(ready.ok());
    EXPECT_TRUE(ready->empty());

    // A descriptor that is not open is refused with its error.
    const auto refused = waits.add(-1, 4);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().errnoValue(), EBADF);
    // The same source twice is refused too; the first membership stands.
    ASSERT_TRUE(waits.add(event.descriptor(), 5).ok());
    EXPECT_FALSE(waits.add(event.descriptor(), 6).ok());
    auto once = waits.wait(now());
    ASSERT_TRUE(once.ok());
    EXPECT_EQ(sorted(*once), (std::vector<WaitSet::Key>{5}));
}

TEST(WaitSet, AWakeIsReportedOnceAndAWakeAfterTheWaitIsNotLost) {
    WaitSet waits(kWake);
    ASSERT_TRUE(waits.valid());
    waits.wake();
    waits.wake();  // two wakes before a wait are one
    auto woken = waits.wait();
    ASSERT_TRUE(woken.ok());
    EXPECT_EQ(sorted(*woken), (std::vector<WaitSet::Key>{kWake}));
    auto consumed = waits.wait(now());
    ASSERT_TRUE(consumed.ok());
    EXPECT_TRUE(consumed->empty());

    // A wake from another thread while the waiter has no deadline.
    std::thread waker([&] { waits.wake(); });
    auto later = waits.wait();
    waker.join();
    ASSERT_TRUE(later.ok());
    EXPECT_EQ(sorted(*later), (std::vector<WaitSet::Key>{kWake}));
}

}  // namespace
