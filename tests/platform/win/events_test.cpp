// Events, the waitables of this backend, and the facilities it does not
// provide yet failing cleanly.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/io.h"
#include "platform/local_event.h"
#include "platform/manual_event.h"

namespace holm::platform {
namespace {

TEST(WinEventsTest, AManualEventWakesAWaiterOnAnotherThread) {
    ManualEvent event;
    ASSERT_TRUE(event.valid());
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.waitUntil(std::chrono::steady_clock::now()));

    ManualEvent started;
    std::thread setter([&] {
        started.waitUntil(ManualEvent::Deadline::max());
        event.set();
    });
    started.set();
    EXPECT_TRUE(event.waitUntil(io::deadlineIn(std::chrono::seconds(30))));
    setter.join();
    EXPECT_TRUE(event.isSet());
    bool ready = false;
    const int fd = event.descriptor();
    ASSERT_TRUE(io::waitAnyReadable(std::span(&fd, 1), std::span(&ready, 1), io::kNoDeadline).ok());
    EXPECT_TRUE(ready);
    event.reset();
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(*io::waitReadable(fd, std::chrono::steady_clock::now()));
}

TEST(WinEventsTest, LocalEventsStaySetOnceSet) {
    auto event = createLocalEvent(false);
    ASSERT_TRUE(event.ok());
    EXPECT_FALSE(isLocalEventSet(event->get()));
    ASSERT_TRUE(setLocalEvent(event->get()).ok());
    EXPECT_TRUE(isLocalEventSet(event->get()));
    EXPECT_TRUE(isLocalEventSet(createLocalEvent(true)->get()));
    EXPECT_FALSE(setLocalEvent(-1).ok());
    EXPECT_FALSE(isLocalEventSet(-1));
}

}  // namespace
}  // namespace holm::platform
