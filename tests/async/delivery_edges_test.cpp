// Edges of delivery a plugin meets in ordinary use: a periodic element of
// zero seconds, two elements on one directory of which one is cancelled, and
// a watched file that is deleted.
//
// A change that must not deliver is checked against a sentinel directory:
// changes of one notifier are handled in order, so once a later change has
// been delivered, an earlier one that would have delivered has been.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "async/support/async_fixture.h"
#include "common/utf16.h"

namespace {

namespace fs = std::filesystem;
using holm::test::RecordingHandler;
using EdgeUsers = std::vector<uintptr_t>;

size_t deliveriesOf(const EdgeUsers& users, uintptr_t user) {
    return static_cast<size_t>(std::count(users.begin(), users.end(), user));
}

void touchFile(const fs::path& path) {
    std::ofstream(path, std::ios::binary) << "x";
}

class ZeroSecondElement : public holm::test::AsyncFixture {};

// Zero seconds fires at every tick at which the clock has moved on since the
// last delivery, and never twice for the same second.
TEST_F(ZeroSecondElement, FiresAtEveryTickAfterTheClockMoved) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->fireAfterNSec(0, 5), nullptr);
    ASSERT_TRUE(clock_->tick());
    EXPECT_TRUE(handler.users().empty()) << "the clock has not moved";
    clock_->advance(1);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), EdgeUsers{5});
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), EdgeUsers{5});
    clock_->advance(1);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), (EdgeUsers{5, 5}));
}

class WatchEdges : public holm::test::AsyncFixture {
  protected:
    WatchEdges() {
        fs::create_directories(watched());
        fs::create_directories(sentinel());
    }

    fs::path watched() const { return base_.path() / "watched"; }
    fs::path sentinel() const { return base_.path() / "sentinel"; }

    static HlmPlg::IAsyncEvent* onDirectory(HlmPlg::IAsync& async, const fs::path& path,
                                            uintptr_t user) {
        const std::u16string text = holm::common::utf8ToUtf16(path.string());
        return async.watchDirectory(text.c_str(), 0, 0, user);
    }
    static HlmPlg::IAsyncEvent* onFile(HlmPlg::IAsync& async, const fs::path& path,
                                       uintptr_t user) {
        const std::u16string text = holm::common::utf8ToUtf16(path.string());
        return async.watchFile(text.c_str(), 0, user);
    }
    // Changes the sentinel directory and waits for the `n`th delivery of
    // `user`: every change made before has been handled then.
    bool settle(RecordingHandler& handler, uintptr_t user, size_t n) {
        touchFile(sentinel() / ("s" + std::to_string(n)));
        return handler.waitUntil(
            [&](const EdgeUsers& users) { return deliveriesOf(users, user) >= n; });
    }
};

TEST_F(WatchEdges, CancellingOneOfTwoElementsOnADirectoryLeavesTheOtherServed) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    HlmPlg::IAsyncEvent* first = onDirectory(*async, watched(), 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(onDirectory(*async, watched(), 2), nullptr);
    async->cancel(first);

    touchFile(watched() / "new");
    EXPECT_TRUE(handler.waitUntil([](const EdgeUsers& users) { return deliveriesOf(users, 2); }))
        << "the remaining element was silenced";
    ASSERT_NE(onDirectory(*async, sentinel(), 9), nullptr);
    ASSERT_TRUE(settle(handler, 9, 1));
    EXPECT_EQ(deliveriesOf(handler.users(), 1), 0u) << "the cancelled element was delivered";
}

TEST_F(WatchEdges, DeletingAWatchedFileDeliversNothingForIt) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    touchFile(watched() / "own");
    ASSERT_NE(onFile(*async, watched() / "own", 1), nullptr);
    ASSERT_NE(onDirectory(*async, sentinel(), 9), nullptr);

    fs::remove(watched() / "own");
    ASSERT_TRUE(settle(handler, 9, 1));
    EXPECT_EQ(deliveriesOf(handler.users(), 1), 0u) << "a deleted file was delivered";

    // Still watched: the file made again is delivered.
    touchFile(watched() / "own");
    EXPECT_TRUE(
        handler.waitUntil([](const EdgeUsers& users) { return deliveriesOf(users, 1) >= 1; }));
}

}  // namespace
