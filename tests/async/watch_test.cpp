// Directory, file and registry watches: what fires and what does not, a
// subtree that grows while the worker is busy, a queue overflow, paths that
// vanish or loop, and registry keys and values deleted while watched.
//
// A change that must not deliver is checked against a sentinel: changes of
// one notifier are handled in order, so once a later change has been
// delivered, an earlier one that would have delivered has been.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "async/support/watch_fixture.h"
#include "common/utf16.h"
#include "hlmplg/core.h"
#include "platform/change_notifier.h"
#include "platform/errors.h"
#include "registry/registry.h"

namespace {

namespace fs = std::filesystem;
namespace reg = holm::registry;
using holm::test::RecordingHandler;
using holm::test::Watches;
using Users = std::vector<uintptr_t>;
using holm::test::countOf;
using holm::test::has;
using holm::test::WorkerHold;
using holm::test::writeFile;

TEST_F(Watches, RegistrationNeedsAnExistingPath) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    writeFile(watched() / "file");
    EXPECT_EQ(watchDirectory(*async, watched() / "missing", false, 1), nullptr);
    EXPECT_EQ(watchDirectory(*async, watched() / "file", false, 1), nullptr) << "not a directory";
    EXPECT_EQ(watchFile(*async, watched() / "missing", 1), nullptr);
    EXPECT_EQ(async->watchDirectory(nullptr, 0, 0, 1), nullptr);
    const char16_t loneSurrogate[] = {u'/', 0xD800, 0};
    EXPECT_EQ(async->watchDirectory(loneSurrogate, 0, 0, 1), nullptr);
    EXPECT_NE(watchFile(*async, watched() / "file", 1), nullptr);
    EXPECT_NE(watchDirectory(*async, watched().string() + "//", true, 2), nullptr);
}

TEST_F(Watches, FileWatchIgnoresSiblingsAndFiresOnEveryOwnWrite) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    writeFile(watched() / "own");
    std::ofstream own(watched() / "own", std::ios::binary | std::ios::app);
    ASSERT_NE(watchFile(*async, watched() / "own", 1), nullptr);
    ASSERT_NE(watchDirectory(*async, sentinel(), false, 9), nullptr);

    writeFile(watched() / "sibling", "changed");
    ASSERT_TRUE(sync(handler, 9, 1));
    EXPECT_FALSE(has(handler.users(), 1)) << "a sibling's change delivered the file watch";

    // Two writes of the same size, well within one tick of the file times:
    // each is delivered (the stream stays open, so each is one change).
    own << 'a' << std::flush;
    ASSERT_TRUE(handler.waitUntil([](const Users& users) { return countOf(users, 1) >= 1; }));
    own << 'b' << std::flush;
    EXPECT_TRUE(handler.waitUntil([](const Users& users) { return countOf(users, 1) >= 2; }));
}

TEST_F(Watches, ChangeInAPrefixDirectoryDeliversElementsBelowItWithTheSameFlag) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    fs::create_directories(watched() / "a" / "b");
    ASSERT_NE(watchDirectory(*async, watched() / "a", false, 1), nullptr);
    ASSERT_NE(watchDirectory(*async, watched() / "a" / "b", false, 2), nullptr);
    ASSERT_NE(watchDirectory(*async, watched() / "a" / "b", true, 3), nullptr);
    ASSERT_NE(watchDirectory(*async, sentinel(), false, 9), nullptr);

    // A change in a/ is seen by the key (a, 0): both flag-0 elements whose
    // path starts with a are delivered, the subtree element of a/b is not.
    // One wake delivers its elements in no fixed order, so what must come is
    // awaited, and the sentinel only bounds what must not.
    writeFile(watched() / "a" / "new");
    EXPECT_TRUE(
        handler.waitUntil([](const Users& users) { return has(users, 1) && has(users, 2); }));
    ASSERT_TRUE(sync(handler, 9, 1));
    EXPECT_FALSE(has(handler.users(), 3));

    // A change in a/b/c is seen by the subtree key only.
    fs::create_directories(watched() / "a" / "b" / "c");
    const size_t before1 = handler.count(1);
    writeFile(watched() / "a" / "b" / "c" / "deep");
    EXPECT_TRUE(handler.waitUntil([](const Users& users) { return has(users, 3); }));
    ASSERT_TRUE(sync(handler, 9, 2));
    EXPECT_EQ(handler.count(1), before1) << "a/ itself did not change";
}

TEST_F(Watches, DirectoriesDifferingInCaseAreEachWatched) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    fs::create_directories(watched() / "Case");
    fs::create_directories(watched() / "case");
    ASSERT_NE(watchDirectory(*async, watched() / "Case", false, 1), nullptr);
    ASSERT_NE(watchDirectory(*async, watched() / "case", false, 2), nullptr);
    // Matching folds A-Z, so a change in either delivers both.
    writeFile(watched() / "case" / "file");
    EXPECT_TRUE(
        handler.waitUntil([](const Users& users) { return has(users, 1) && has(users, 2); }));
}

TEST_F(Watches, SubtreeCreatedWhileTheWorkerIsBusyIsWatchedWhole) {
    RecordingHandler handler;
    WorkerHold hold(handler, 9);
    auto async = makeAsync(&handler);
    ASSERT_NE(watchDirectory(*async, watched(), true, 1), nullptr);
    ASSERT_NE(watchDirectory(*async, sentinel(), false, 9), nullptr);

    writeFile(sentinel() / "hold");
    ASSERT_TRUE(hold.waitEntered());
    // Made while nothing watches below: the worker finds them by walking.
    fs::create_directories(watched() / "new" / "deeper");
    writeFile(watched() / "new" / "deeper" / "file");
    hold.release();
    // The new directory is delivered once it is watched and walked; the
    // sentinel may be delivered before that, so the delivery is awaited.
    ASSERT_TRUE(handler.waitUntil([](const Users& users) { return countOf(users, 1) >= 1; }))
        << "the new directory was delivered";
    ASSERT_TRUE(sync(handler, 9, 2));
    const size_t before = handler.count(1);

    // Awaited on its own: a sentinel written after it may be delivered first.
    writeFile(watched() / "new" / "deeper" / "file", "again");
    EXPECT_TRUE(handler.waitUntil([&](const Users& users) { return countOf(users, 1) > before; }))
        << "the deepest new directory is watched";
}

TEST_F(Watches, OverflowDeliversEveryElementOfTheWorker) {
    const auto limits = holm::platform::changeNotifierLimits();
    if (!limits.queuedEvents || *limits.queuedEvents > 200000) {
        GTEST_SKIP() << "the kernel's event queue is too long to fill quickly";
    }
    RecordingHandler handler;
    WorkerHold hold(handler, 9);
    auto async = makeAsync(&handler);
    fs::create_directories(watched() / "busy");
    fs::create_directories(watched() / "quiet");
    writeFile(watched() / "quiet" / "file");
    ASSERT_NE(watchDirectory(*async, watched() / "busy", false, 1), nullptr);
    ASSERT_NE(watchDirectory(*async, watched() / "quiet", false, 2), nullptr);
    ASSERT_NE(watchFile(*async, watched() / "quiet" / "file", 3), nullptr);
    fs::create_directories(watched() / "tree");
    ASSERT_NE(watchDirectory(*async, watched() / "tree", true, 4), nullptr);
    ASSERT_NE(watchDirectory(*async, sentinel(), false, 9), nullptr);

    writeFile(sentinel() / "hold");
    ASSERT_TRUE(hold.waitEntered());
    // Each rewrite queues at least two events that differ from the one
    // before (alternating names), so nothing is merged.
    for (uint64_t i = 0; i < *limits.queuedEvents / 2 + 64; ++i) {
        writeFile(watched() / "busy" / (i % 2 ? "odd" : "even"));
    }
    // Made once the queue is full, so its event is lost with the overflow:
    // the subtree is walked again before its element hears of it.
    fs::create_directories(watched() / "tree" / "new");
    hold.release();
    ASSERT_TRUE(handler.waitUntil([](const Users& users) {
        return has(users, 1) && has(users, 2) && has(users, 3) && has(users, 4);
    }));
    const size_t before = handler.count(4);
    writeFile(watched() / "tree" / "new" / "file");
    EXPECT_TRUE(handler.waitUntil([&](const Users& users) { return countOf(users, 4) > before; }))
        << "the directory made during the overflow is watched";
}

TEST_F(Watches, ManyWatchesOnOneWorkerDeliverOnlyTheChangedOne) {
    const auto limits = holm::platform::changeNotifierLimits();
    const uint64_t count = std::min<uint64_t>(2000, limits.watchesPerUser.value_or(8192) / 8);
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    for (uint64_t i = 0; i < count; ++i) {
        const fs::path directory = watched() / std::to_string(i);
        fs::create_directory(directory);
        ASSERT_NE(watchDirectory(*async, directory, false, 1000 + i), nullptr);
    }
    ASSERT_NE(watchDirectory(*async, sentinel(), false, 9), nullptr);
    EXPECT_EQ(dispatcher_->directoryWorker().keyCount(), count + 1);
    writeFile(watched() / std::to_string(count - 1) / "file");
    const uintptr_t changed = 1000 + count - 1;
    EXPECT_TRUE(handler.waitUntil([&](const Users& users) { return has(users, changed); }));
    ASSERT_TRUE(sync(handler, 9, 1));
    Users users = handler.users();
    std::erase(users, 9);
    std::sort(users.begin(), users.end());
    users.erase(std::unique(users.begin(), users.end()), users.end());
    EXPECT_EQ(users, Users{changed});
}

TEST_F(Watches, CancelledWatchesReleaseTheirKernelWatches) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    fs::create_directories(watched() / "a" / "b");
    HlmPlg::IAsyncEvent* subtree = watchDirectory(*async, watched(), true, 1);
    HlmPlg::IAsyncEvent* shared = watchDirectory(*async, watched() / "a", false, 2);
    ASSERT_NE(subtree, nullptr);
    ASSERT_NE(shared, nullptr);
    auto& worker = dispatcher_->directoryWorker();
    EXPECT_EQ(worker.kernelWatchCount(), 3u) << "a/ is one kernel watch for both keys";
    async->cancel(subtree);
    EXPECT_EQ(worker.kernelWatchCount(), 1u);
    async->cancel(shared);
    EXPECT_EQ(worker.kernelWatchCount(), 0u);
    EXPECT_EQ(worker.keyCount(), 0u);
}

class RegistryWatches : public holm::test::AsyncFixture {
  protected:
    void SetUp() override {
        auto opened = reg::Store::open(registryDirectory());
        ASSERT_TRUE(opened.ok());
        store_ = std::move(*opened);
    }
    reg::Key createKey(std::u16string_view path) {
        auto key = reg::Key::create(store_, reg::Root::LocalMachine, path);
        EXPECT_TRUE(key.ok());
        return key.valueOr(reg::Key());
    }
    static constexpr uint32_t kMachine = static_cast<uint32_t>(reg::Root::LocalMachine);
    reg::Store store_;
};

TEST_F(RegistryWatches, ValueWatchesFireOnceOnDeleteAndOnceOnCreate) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    reg::Key key = createKey(u"Software\\Watched");
    ASSERT_TRUE(key.setValue(u"v", reg::makeDword(1)).ok());
    ASSERT_TRUE(key.setValue(u"sibling", reg::makeDword(1)).ok());
    EXPECT_EQ(async->watchRegistryValue(kMachine, u"Software\\Missing", u"v", 0, 1), nullptr);
    ASSERT_NE(async->watchRegistryValue(kMachine, u"Software\\Watched\\\\", u"v", 0, 1), nullptr);
    ASSERT_NE(async->watchRegistryValue(kMachine, u"software\\watched", u"absent", 0, 2), nullptr);
    ASSERT_NE(async->watchRegistryKey(kMachine, u"Software\\Watched", 0, 0, 9), nullptr);

    ASSERT_TRUE(key.setValue(u"sibling", reg::makeDword(2)).ok());
    ASSERT_TRUE(key.deleteValue(u"v").ok());
    ASSERT_TRUE(handler.waitUntil([](const Users& users) { return has(users, 1); }));
    ASSERT_TRUE(key.setValue(u"sibling", reg::makeDword(3)).ok());
    ASSERT_TRUE(key.setValue(u"absent", reg::makeDword(3)).ok());
    ASSERT_TRUE(handler.waitUntil([](const Users& users) { return has(users, 2); }));
    // The last change was handled after every earlier one.
    EXPECT_EQ(handler.count(1), 1u) << "siblings and the value staying absent deliver nothing";
    EXPECT_EQ(handler.count(2), 1u);
    EXPECT_GE(handler.count(9), 1u);
}

// Every key watch of the worker shares one kernel instance: far more keys
// than the per-user instance limit (128 by default) each deliver.
TEST_F(RegistryWatches, TwoHundredKeysEachDeliverTheirChange) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    constexpr uintptr_t kKeys = 200;
    std::vector<reg::Key> keys;
    for (uintptr_t i = 0; i < kKeys; ++i) {
        const std::u16string path = u"Many\\K" + holm::common::utf8ToUtf16(std::to_string(i));
        keys.push_back(createKey(path));
        ASSERT_NE(async->watchRegistryKey(kMachine, path.c_str(), 0, 0, i + 1), nullptr) << i;
    }
    EXPECT_EQ(dispatcher_->registryWorker().unwatchedRecordCount(), 0u);
    for (reg::Key& key : keys) {
        ASSERT_TRUE(key.setValue(u"v", reg::makeDword(1)).ok());
    }
    ASSERT_TRUE(handler.waitUntil([&](const Users& users) {
        for (uintptr_t i = 1; i <= kKeys; ++i) {
            if (!has(users, i)) {
                return false;
            }
        }
        return true;
    }));
}

TEST_F(RegistryWatches, KeyDeletedWhileWatchedIsDeliveredAndWatchedAgainWhenBack) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    reg::Key doomed = createKey(u"Doomed");
    ASSERT_TRUE(doomed.setValue(u"v", reg::makeDword(1)).ok());
    reg::Key other = createKey(u"Other");
    ASSERT_NE(async->watchRegistryKey(kMachine, u"Doomed", 1, 0, 1), nullptr);
    ASSERT_NE(async->watchRegistryValue(kMachine, u"Doomed", u"v", 0, 2), nullptr);
    ASSERT_NE(async->watchRegistryKey(kMachine, u"Other", 0, 0, 3), nullptr);

    ASSERT_TRUE(reg::deleteKeyTree(store_, reg::Root::LocalMachine, u"Doomed").ok());
    ASSERT_TRUE(
        handler.waitUntil([](const Users& users) { return has(users, 1) && has(users, 2); }));

    // The other record is still served, and its wake retries the deleted
    // key, which is back with its value.
    reg::Key back = createKey(u"Doomed");
    ASSERT_TRUE(back.setValue(u"v", reg::makeDword(1)).ok());
    ASSERT_TRUE(other.setValue(u"x", reg::makeDword(1)).ok());
    EXPECT_TRUE(handler.waitUntil(
        [](const Users& users) { return has(users, 3) && countOf(users, 2) >= 2; }));
    EXPECT_EQ(dispatcher_->registryWorker().unwatchedRecordCount(), 0u);
}

TEST_F(RegistryWatches, LogoffClosesTheSessionUsersKeysUntilTheNextWake) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    const std::u16string sid = u"S-1-22-1-4242";
    reg::Key profile = createKey(u"Profiles\\" + sid);
    reg::Key other = createKey(u"Other");
    ASSERT_NE(async->watchRegistryKey(kMachine, (u"Profiles\\" + sid).c_str(), 1, 0, 1), nullptr);
    ASSERT_NE(async->watchRegistryKey(kMachine, u"Other", 0, 0, 9), nullptr);
    auto& worker = dispatcher_->registryWorker();
    worker.onSessionLogon(sid);

    // The logoff is seen on its own: nothing else wakes the worker meanwhile
    // (a wake re-watches the key), so the count is looked at until it shows.
    HlmPlg::SessionNotification record{sizeof(HlmPlg::SessionNotification), 7};
    dispatcher_->onServiceControl(HlmPlg::kServiceControlSessionChange, HlmPlg::kSessionLogoff,
                                  &record);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (worker.unwatchedRecordCount() != 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(worker.unwatchedRecordCount(), 1u) << "the SID's key is not watched";
    ASSERT_TRUE(profile.setValue(u"unseen", reg::makeDword(1)).ok());

    // The next wake watches it again: a change of Other is delivered after
    // the retry, and the SID key's next change is seen.
    ASSERT_TRUE(other.setValue(u"a", reg::makeDword(1)).ok());
    ASSERT_TRUE(handler.waitUntil([](const Users& users) { return has(users, 9); }));
    EXPECT_EQ(worker.unwatchedRecordCount(), 0u) << "watched again at the next wake";
    EXPECT_EQ(handler.count(1), 0u) << "a change while unwatched is not delivered";
    ASSERT_TRUE(profile.setValue(u"seen", reg::makeDword(1)).ok());
    EXPECT_TRUE(handler.waitUntil([](const Users& users) { return has(users, 1); }));
}

}  // namespace
