#include "platform/critical_section.h"

#include <chrono>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

namespace holm::platform {
namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

// What sets a critical section apart from a plain mutex: its owner enters
// again without waiting, and every other thread stays out until the owner has
// left as often as it entered.
TEST(CriticalSectionTest, OwnerEntersAgainAndOthersWaitForTheLastLeave) {
    CriticalSection section;
    section.lock();
    ASSERT_TRUE(section.tryLock()) << "the owner must enter again";

    auto otherThreadCanEnter = [&section] {
        return std::async(std::launch::async,
                          [&section] {
                              const bool entered = section.tryLock();
                              if (entered) {
                                  section.unlock();
                              }
                              return entered;
                          })
            .get();
    };
    EXPECT_FALSE(otherThreadCanEnter());
    section.unlock();
    EXPECT_FALSE(otherThreadCanEnter()) << "still entered once";

    // A thread waiting in `lock` gets in once the owner has left completely.
    std::promise<void> acquired;
    std::promise<void> release;
    auto other = std::async(std::launch::async, [&] {
        std::lock_guard lock(section);
        acquired.set_value();
        release.get_future().wait();
    });
    section.unlock();
    ASSERT_EQ(acquired.get_future().wait_for(kDeadline), std::future_status::ready);
    EXPECT_FALSE(section.tryLock()) << "the other thread is inside";
    release.set_value();
    ASSERT_EQ(other.wait_for(kDeadline), std::future_status::ready);
}

}  // namespace
}  // namespace holm::platform
