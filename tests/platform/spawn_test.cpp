#include "platform/spawn.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/io_faults.h"

namespace holm::platform {
namespace {

constexpr std::chrono::seconds kDeadline(30);

TEST(SpawnTest, ReportsOutputAndExitCodeEvenWhenReadsAreInterrupted) {
    holm::test::InjectedFaults faults;
    faults.interruptEveryCall();
    const ProcessResult result =
        runProcess({"/bin/sh", "-c", "echo first; echo second >&2; exit 3"}, {}, kDeadline);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.output, "first\nsecond\n");
}

TEST(SpawnTest, AChildThatOutlivesItsOutputIsKilledAtTheDeadline) {
    auto started =
        ChildProcess::start({"/bin/sh", "-c", "exec >/dev/null 2>&1; exec sleep 600"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ChildProcess& child = *started;
    EXPECT_EQ(child.wait(std::chrono::milliseconds(20)), std::nullopt);
    EXPECT_FALSE(child.valid());
}

TEST(SpawnTest, AProgramThatCannotStartSaysWhy) {
    const auto started = ChildProcess::start({"/nonexistent/program"}, {});
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().errnoValue(), ENOENT);
    EXPECT_EQ(ChildProcess::start({}, {}).error().errnoValue(), EINVAL);
}

TEST(SpawnTest, ASignalEndingTheChildIsReported) {
    auto started = ChildProcess::start({"/bin/sh", "-c", "echo up; exec sleep 600"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ChildProcess& child = *started;
    ASSERT_TRUE(child.waitForOutput("up", kDeadline));
    ASSERT_TRUE(child.sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(child.wait(kDeadline), 128 + 15);
}

}  // namespace
}  // namespace holm::platform
