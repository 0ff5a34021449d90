#include "platform/critical_section.h"

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

namespace holm::platform {
namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

TEST(CriticalSectionTest, OwnerEntersAgain) {
    CriticalSection section;
    std::lock_guard outer(section);
    EXPECT_TRUE(section.tryLock());
    { std::lock_guard inner(section); }
    section.unlock();
}

TEST(CriticalSectionTest, OtherThreadWaitsUntilTheLastLeave) {
    CriticalSection section;
    section.lock();
    section.lock();

    // Asks another thread to try entering without waiting.
    auto otherThreadCanEnter = [&section] {
        return std::async(std::launch::async,
                          [&section] {
                              bool entered = section.tryLock();
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

    EXPECT_TRUE(section.tryLock()) << "free again after the other thread left";
    section.unlock();
}

}  // namespace
}  // namespace holm::platform
