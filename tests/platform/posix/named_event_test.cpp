// Named events under a flood of sets: a setter never waits for a watcher,
// and a watcher clears any number of pending sets in bounded steps.
#include "platform/named_event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/io.h"
#include "support/test_support.h"

namespace {

using holm::platform::NamedEventSet;
namespace io = holm::platform::io;

bool pending(int fd) {
    return io::waitReadable(fd, io::deadlineIn(std::chrono::milliseconds(0))).valueOr(false);
}

TEST(NamedEventFlood, SetsNeverBlockAndAFloodDrainsInBoundedSteps) {
    holm::test::TempDir dir;
    const std::string directory = (dir.path() / "run").string();
    const std::string name = holm::platform::namedEventFileName(u"Global\\flood");
    auto opened = holm::platform::NamedEventWatch::open(directory, name);
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    const holm::platform::NamedEventWatch& watch = *opened;

    // Far more sets than a FIFO holds: once it is full, a set still counts
    // (the watcher has a wake-up pending) and returns at once.
    constexpr int kSets = 200'000;
    for (int set = 0; set < kSets; ++set) {
        ASSERT_EQ(holm::platform::setNamedEvent(directory, name), NamedEventSet::Set) << set;
    }
    ASSERT_TRUE(pending(watch.fd()));

    // Each drain takes at most one FIFO's capacity, so the whole flood is
    // gone after a couple of wakes, however many sets there were.
    int drains = 0;
    while (pending(watch.fd()) && drains < 8) {
        holm::platform::drainNamedEvent(watch.fd());
        ++drains;
    }
    EXPECT_LE(drains, 2);
    EXPECT_FALSE(pending(watch.fd()));

    // A set after the flood is seen again.
    EXPECT_EQ(holm::platform::setNamedEvent(directory, name), NamedEventSet::Set);
    EXPECT_TRUE(pending(watch.fd()));
}

}  // namespace
