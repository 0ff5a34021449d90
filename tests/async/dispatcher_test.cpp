// The dispatcher: the time worker's tick and periodic elements (on a manual
// clock), named events, cancellation from every thread, delivery rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include "async/support/async_fixture.h"
#include "common/utf16.h"
#include "platform/errors.h"
#include "platform/signals.h"
#include "platform/spawn.h"

namespace {

using holm::async::WorkerIndex;
using holm::platform::NamedEventSet;
using holm::test::RecordingHandler;
using Users = std::vector<uintptr_t>;

class AsyncTime : public holm::test::AsyncFixture {};
class AsyncEvent : public holm::test::AsyncFixture {};
class AsyncCancel : public holm::test::AsyncFixture {};

TEST_F(AsyncTime, FireNowDeliversOnceThenTheElementIsGone) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    HlmPlg::IAsyncEvent* element = async->fireNow(7);
    ASSERT_NE(element, nullptr);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), Users{7});
    EXPECT_FALSE(dispatcher_->lifetimes().isLive(element)) << "destroyed after its delivery";
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), Users{7});
    async->cancel(element);  // a dangling fireNow pointer is ignored
}

TEST_F(AsyncTime, PeriodicElementFiresOnlyAfterMoreThanItsSeconds) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->fireAfterNSec(10, 1), nullptr);
    EXPECT_EQ(async->fireAfterNSec(-1, 2), nullptr);
    clock_->advance(10);
    ASSERT_TRUE(clock_->tick());
    EXPECT_TRUE(handler.users().empty()) << "10 seconds are not more than 10";
    clock_->advance(1);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users().size(), 1u);
    clock_->advance(10);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users().size(), 1u) << "measured from the end of the previous delivery";
    clock_->advance(1);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users().size(), 2u);
}

TEST_F(AsyncTime, ThrowingCallbackIsReportedAndTheNextIsDelivered) {
    RecordingHandler handler;
    bool thrown = false;
    handler.onEvent = [&](HlmPlg::IAsyncEvent*) {
        if (!std::exchange(thrown, true)) {
            throw std::runtime_error("callback failed");
        }
    };
    auto async = makeAsync(&handler);
    async->fireNow(1);
    ASSERT_TRUE(clock_->tick());
    const auto reports = gate_.waitForReports(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], u"IAsyncHandler::onAsyncEvent: callback failed");
    async->fireNow(2);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), Users{2});
}

TEST_F(AsyncTime, DeliveryWithoutHandlerIsDropped) {
    auto async = makeAsync(nullptr);
    async->fireNow(1);
    ASSERT_TRUE(clock_->tick());
    EXPECT_TRUE(gate_.waitForReports(0).empty());
}

TEST_F(AsyncEvent, NamesDifferingInCaseShareOneWatch) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->watchEvent(u"Scan.Done", 1), nullptr);
    ASSERT_NE(async->watchEvent(u"SCAN.done", 2), nullptr);
    ASSERT_EQ(setEvent(u"scan.DONE"), NamedEventSet::Set);
    EXPECT_EQ(handler.waitFor(2), (Users{1, 2}));
}

TEST_F(AsyncEvent, TenThousandEventsOnOneWorker) {
    holm::platform::raiseOpenFileLimit();
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    constexpr int kCount = 10000;
    for (int i = 0; i < kCount; ++i) {
        const std::u16string name = u"event-" + holm::common::utf8ToUtf16(std::to_string(i));
        if (async->watchEvent(name.c_str(), static_cast<uintptr_t>(i)) == nullptr) {
            GTEST_SKIP() << "descriptor limit reached at " << i;
        }
    }
    ASSERT_EQ(setEvent(u"event-9999"), NamedEventSet::Set);
    ASSERT_EQ(setEvent(u"event-0"), NamedEventSet::Set);
    auto users = handler.waitFor(2);
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, (Users{0, 9999}));
}

TEST_F(AsyncCancel, LastElementStopsTheWorkerAndANewOneStartsIt) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    HlmPlg::IAsyncEvent* first = async->watchEvent(u"a", 1);
    HlmPlg::IAsyncEvent* second = async->watchEvent(u"b", 2);
    EXPECT_TRUE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    async->cancel(first);
    EXPECT_TRUE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    async->cancel(second);
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    EXPECT_EQ(setEvent(u"a"), NamedEventSet::NoWatcher) << "the watch was closed";
    async->cancel(second);  // twice: ignored
    ASSERT_NE(async->watchEvent(u"a", 3), nullptr);
    EXPECT_TRUE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    ASSERT_EQ(setEvent(u"A"), NamedEventSet::Set);
    EXPECT_EQ(handler.waitFor(1), Users{3});
}

TEST_F(AsyncCancel, ReleasingOneAsyncLeavesAnotherFiring) {
    RecordingHandler gone, kept;
    auto released = makeAsync(&gone);
    auto other = makeAsync(&kept);
    released->watchEvent(u"shared", 1);
    released->fireAfterNSec(1, 2);
    other->watchEvent(u"shared", 3);
    released.reset();
    EXPECT_EQ(dispatcher_->elementCount(WorkerIndex::Time), 0u);
    EXPECT_EQ(dispatcher_->elementCount(WorkerIndex::Event), 1u);
    ASSERT_EQ(setEvent(u"shared"), NamedEventSet::Set);
    EXPECT_EQ(kept.waitFor(1), Users{3});
    EXPECT_TRUE(gone.users().empty());
}

TEST_F(AsyncCancel, AfterStopAllNothingIsDelivered) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    async->watchEvent(u"stopped", 1);
    async->fireNow(2);
    dispatcher_->stopAll();
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Time));
    EXPECT_NE(async->fireNow(3), nullptr) << "registrations are still accepted";
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Time)) << "and not restarted";
    EXPECT_TRUE(handler.users().empty());
}

TEST_F(AsyncCancel, ANewRunAfterStopAllDeliversAsTheFirst) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->fireNow(1), nullptr);
    ASSERT_TRUE(clock_->tick());
    ASSERT_EQ(handler.users(), Users{1});
    dispatcher_->stopAll();
    ASSERT_NE(async->fireNow(2), nullptr);
    dispatcher_->resumeAll();
    EXPECT_TRUE(dispatcher_->workerThreadRunning(WorkerIndex::Time))
        << "an element left waiting starts the thread";
    ASSERT_TRUE(clock_->tick());
    ASSERT_NE(async->watchEvent(u"second-run", 3), nullptr);
    ASSERT_EQ(setEvent(u"second-run"), NamedEventSet::Set);
    EXPECT_EQ(handler.waitFor(3), (Users{1, 2, 3}));
}

// Elements are cancelled only by the plugin that registered them (through
// any of its IAsync objects): another plugin's pointer, such as a stale one
// whose address a new element reused, is ignored.
TEST_F(AsyncCancel, CancelActsOnlyOnTheCallingPluginsElements) {
    RecordingHandler firstHandler, secondHandler;
    auto first = makeAsync(&firstHandler);
    auto firstAgain = makeAsync(&firstHandler);
    auto second = makeAsync(&secondHandler);
    int pluginA = 0, pluginB = 0;
    first->m_owner = reinterpret_cast<HlmPlg::CHlmPlg*>(&pluginA);
    firstAgain->m_owner = reinterpret_cast<HlmPlg::CHlmPlg*>(&pluginA);
    second->m_owner = reinterpret_cast<HlmPlg::CHlmPlg*>(&pluginB);
    HlmPlg::IAsyncEvent* timer = second->fireAfterNSec(1, 20);
    HlmPlg::IAsyncEvent* own = first->fireAfterNSec(1, 10);
    ASSERT_NE(timer, nullptr);
    ASSERT_NE(own, nullptr);
    first->cancel(timer);
    EXPECT_TRUE(dispatcher_->lifetimes().isLive(timer));
    firstAgain->cancel(own);
    EXPECT_FALSE(dispatcher_->lifetimes().isLive(own)) << "the same plugin's other IAsync";
    clock_->advance(2);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(secondHandler.users(), Users{20});
    EXPECT_TRUE(firstHandler.users().empty());
}

// A callback of element Y cancels element X of the same IAsync while X's
// delivery, on another worker, waits for the delivery lock Y's callback
// holds. A cancel that waited for X's delivery would deadlock.
TEST_F(AsyncCancel, CancelFromAnotherCallbackIsDeferred) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    HlmPlg::IAsyncEvent* x = async->watchEvent(u"x", 1);
    bool xInFlight = false;
    handler.onEvent = [&](HlmPlg::IAsyncEvent* event) {
        if (event->getUserValue() != 2) {
            return;
        }
        ASSERT_EQ(setEvent(u"x"), NamedEventSet::Set);
        // Y's own delivery and X's, waiting for the lock.
        xInFlight = dispatcher_->lifetimes().waitForDeliveriesInFlight(
            2, std::chrono::steady_clock::now() + std::chrono::seconds(10));
        async->cancel(x);
    };
    async->fireNow(2);  // Y
    ASSERT_TRUE(clock_->tick());
    EXPECT_TRUE(xInFlight);
    EXPECT_EQ(handler.waitFor(2), (Users{2, 1})) << "X's delivery in progress still ends";
    handler.onEvent = nullptr;
    EXPECT_EQ(dispatcher_->elementCount(WorkerIndex::Event), 0u);
    EXPECT_EQ(setEvent(u"x"), NamedEventSet::NoWatcher);
}

TEST_F(AsyncCancel, CancelOwnElementFromItsCallback) {
    RecordingHandler first, second;
    auto async = makeAsync(&first);
    auto witness = makeAsync(&second);
    first.onEvent = [&](HlmPlg::IAsyncEvent* event) { async->cancel(event); };
    HlmPlg::IAsyncEvent* self = async->watchEvent(u"once", 1);
    witness->watchEvent(u"once", 2);  // delivered after `self`, in list order
    ASSERT_EQ(setEvent(u"once"), NamedEventSet::Set);
    ASSERT_EQ(second.waitFor(1).size(), 1u);
    ASSERT_EQ(setEvent(u"once"), NamedEventSet::Set);
    ASSERT_EQ(second.waitFor(2).size(), 2u);
    EXPECT_EQ(first.users(), Users{1});
    EXPECT_FALSE(dispatcher_->lifetimes().isLive(self));
}

TEST_F(AsyncCancel, HandlerChangesFromInsideACallback) {
    RecordingHandler first, second;
    auto async = makeAsync(&first);
    first.onEvent = [&](HlmPlg::IAsyncEvent*) {
        EXPECT_TRUE(async->unregisterHandler(&first));
        EXPECT_TRUE(async->registerHandler(&second));
    };
    async->watchEvent(u"swap", 1);
    ASSERT_EQ(setEvent(u"swap"), NamedEventSet::Set);
    ASSERT_EQ(first.waitFor(1).size(), 1u);
    ASSERT_EQ(setEvent(u"swap"), NamedEventSet::Set);
    EXPECT_EQ(second.waitFor(1), Users{1});
}

TEST_F(AsyncCancel, AsyncReleasedFromItsOwnCallback) {
    RecordingHandler doomed, witness;
    auto released = makeAsync(&doomed);
    auto other = makeAsync(&witness);
    HlmPlg::IAsync* raw = released.release();
    doomed.onEvent = [&](HlmPlg::IAsyncEvent*) { delete raw; };
    raw->watchEvent(u"bye", 1);
    other->watchEvent(u"bye", 2);
    ASSERT_EQ(setEvent(u"bye"), NamedEventSet::Set);
    ASSERT_EQ(witness.waitFor(1).size(), 1u);
    ASSERT_EQ(setEvent(u"bye"), NamedEventSet::Set);
    ASSERT_EQ(witness.waitFor(2).size(), 2u) << "the worker serves the others on";
    EXPECT_EQ(doomed.users(), Users{1});
}

TEST_F(AsyncCancel, BlockedCallbackDelaysOnlyItsOwnWorker) {
    RecordingHandler blocked, events;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    blocked.onEvent = [&](HlmPlg::IAsyncEvent*) { released.wait(); };
    auto slow = makeAsync(&blocked);
    auto fast = makeAsync(&events);
    slow->fireNow(1);
    fast->watchEvent(u"meanwhile", 2);
    auto ticking = std::async(std::launch::async, [&] { return clock_->tick(); });
    ASSERT_EQ(setEvent(u"meanwhile"), NamedEventSet::Set);
    EXPECT_EQ(events.waitFor(1), Users{2});
    release.set_value();
    EXPECT_TRUE(ticking.get());
    EXPECT_EQ(blocked.users(), Users{1});
}

}  // namespace
