#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "core/shared_core.h"
#include "core/support/host_harness.h"

namespace {

using holm::test::coreEntry;
using holm::test::RecordingHandler;
using namespace HlmPlg;

using holm::test::CorePtr;

CorePtr attach(const char16_t* name, RecordingHandler* host,
               const char16_t* pluginList = u"@XMLFILE:") {
    return CorePtr(coreEntry()(pluginList, host, name));
}

// Calls `use(service)` with an IService of `core`, released afterwards.
template <typename Use>
void withService(IHlmCore& core, Use use) {
    auto* service = dynamic_cast<IService*>(core.createInterface(IID_SERVICE));
    ASSERT_NE(service, nullptr);
    use(*service);
    core.releaseInterface(IID_SERVICE, service);
}

class CountingServiceHandler : public IServiceHandler {
  public:
    void onRunning() override { ++running; }
    void onStopping() override { ++stopping; }
    void onMessage(const char16_t*, uint32_t) override { ++messages; }
    std::atomic<int> running{0};
    std::atomic<int> stopping{0};
    std::atomic<int> messages{0};
};

// Whether two proxies lead to one core: a handler registered through the
// first hears a message broadcast through the second.
bool sameCore(IHlmCore& first, IHlmCore& second) {
    CountingServiceHandler probe;
    withService(first, [&](IService& service) { service.registerHandler(&probe); });
    withService(second, [&](IService& service) { service.broadcastMessage(u"probe", 1); });
    withService(first, [&](IService& service) { service.unregisterHandler(&probe); });
    return probe.messages == 1;
}

TEST(SharedCore, OneCorePerNameComparedWithCase) {
    RecordingHandler host;
    auto first = attach(u"Guard", &host);
    ASSERT_NE(first, nullptr);
    // The list of a later host is not used: the core is already there.
    auto second = attach(u"Guard", nullptr, u"/nonexistent/plugins.xml");
    ASSERT_NE(second, nullptr);
    auto other = attach(u"guard", nullptr);
    ASSERT_NE(other, nullptr);

    EXPECT_TRUE(sameCore(*first, *second));
    EXPECT_FALSE(sameCore(*first, *other));
    EXPECT_EQ(second->getVersion(), 0x04000200u);
    // What belongs to a single host is not offered by a proxy.
    EXPECT_EQ(second->getListAttribute(u"name", u"x"), nullptr);
    EXPECT_FALSE(second->handleCmdLine());
}

TEST(SharedCore, RunsOnceAndStopsWithTheLastProxyThatRan) {
    RecordingHandler hostA;
    RecordingHandler hostB;
    CountingServiceHandler services;
    auto a = attach(u"run-once", &hostA);
    auto b = attach(u"run-once", &hostB);
    ASSERT_TRUE(a && b);
    withService(*a, [&](IService& service) { service.registerHandler(&services); });

    EXPECT_EQ(a->run(false), 0u);
    EXPECT_EQ(b->run(false), 0u);
    // One real run, which asked every host whether it may start.
    EXPECT_EQ(hostA.canStartCalls, 1);
    EXPECT_EQ(hostB.canStartCalls, 1);
    EXPECT_EQ(services.running, 0);  // a shared core runs quick

    EXPECT_EQ(a->stop(), 0u);
    EXPECT_EQ(services.stopping, 0);
    EXPECT_EQ(b->stop(), 0u);
    EXPECT_EQ(services.stopping, 1);

    // Stopped for good, it runs again for the next host that runs it.
    EXPECT_EQ(b->run(false), 0u);
    EXPECT_EQ(hostA.canStartCalls, 2);
    EXPECT_EQ(b->stop(), 0u);
    EXPECT_EQ(services.stopping, 2);
}

class CountingAsyncHandler : public IAsyncHandler {
  public:
    bool onAsyncEvent(IAsyncEvent*) override {
        std::lock_guard lock(mutex_);
        ++delivered_;
        changed_.notify_all();
        return true;
    }
    bool waitFor(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return delivered_ >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int delivered_ = 0;
};

// The Stop phase stops the dispatcher's workers for the rest of the run; a
// core run again starts them afresh.
TEST(SharedCore, ARunAfterAStopDeliversAsTheFirst) {
    auto core = attach(u"run-twice", nullptr);
    ASSERT_NE(core, nullptr);
    auto* async = dynamic_cast<IAsync*>(core->createInterface(IID_ASYNC));
    ASSERT_NE(async, nullptr);
    CountingAsyncHandler handler;
    async->registerHandler(&handler);
    for (int run = 1; run <= 2; ++run) {
        ASSERT_EQ(core->run(false), 0u);
        ASSERT_NE(async->fireNow(static_cast<uintptr_t>(run)), nullptr);
        EXPECT_TRUE(handler.waitFor(run)) << "run " << run;
        ASSERT_EQ(core->stop(), 0u);
    }
    core->releaseInterface(IID_ASYNC, async);
}

TEST(SharedCore, AProxyThatNeverRanDoesNotStopTheCore) {
    CountingServiceHandler services;
    auto running = attach(u"never-ran", nullptr);
    auto idle = attach(u"never-ran", nullptr);
    ASSERT_TRUE(running && idle);
    withService(*running, [&](IService& service) { service.registerHandler(&services); });

    running->run(true);
    EXPECT_EQ(idle->stop(), 0u);
    EXPECT_EQ(services.stopping, 0);
    EXPECT_EQ(running->stop(), 0u);
    EXPECT_EQ(services.stopping, 1);
    // A second stop of the same proxy counts for nothing.
    EXPECT_EQ(running->stop(), 0u);
    EXPECT_EQ(services.stopping, 1);
}

// A host that ran and went away without stop: its run is counted down at
// detach, so the remaining host's stop still stops the core.
TEST(SharedCore, AProxyDestroyedWithoutStopCountsItsRunDown) {
    CountingServiceHandler services;
    auto leaving = attach(u"left-running", nullptr);
    auto staying = attach(u"left-running", nullptr);
    ASSERT_TRUE(leaving && staying);
    withService(*staying, [&](IService& service) { service.registerHandler(&services); });
    leaving->run(true);
    staying->run(true);
    leaving.reset();
    EXPECT_EQ(services.stopping, 0);
    EXPECT_EQ(staying->stop(), 0u);
    EXPECT_EQ(services.stopping, 1);
    withService(*staying, [&](IService& service) { service.unregisterHandler(&services); });
}

TEST(SharedCore, TheLastDetachDestroysTheCore) {
    CountingServiceHandler probe;
    auto first = attach(u"last-detach", nullptr);
    ASSERT_NE(first, nullptr);
    withService(*first, [&](IService& service) { service.registerHandler(&probe); });
    first.reset();

    // A new attach builds and initialises a new core: with a list that does
    // not pass its self-test there is none.
    RecordingHandler host;
    EXPECT_EQ(attach(u"last-detach", &host, u"/nonexistent/plugins.xml"), nullptr);
    auto fresh = attach(u"last-detach", nullptr);
    ASSERT_NE(fresh, nullptr);
    withService(*fresh, [&](IService& service) { service.broadcastMessage(u"new", 1); });
    EXPECT_EQ(probe.messages, 0);
}

// Stop notifications run on threads of their own while the host's thread
// waits in stop; their reports still reach the host.
TEST(SharedCore, StopNotificationsMayReportToTheHosts) {
    struct Reporter : IServiceHandler {
        void onStopping() override { service->reportStopPending(1500); }
        IService* service = nullptr;
    } reporter;
    RecordingHandler host;
    auto core = attach(u"stop-report", &host);
    ASSERT_NE(core, nullptr);
    withService(*core, [&](IService& service) {
        reporter.service = &service;
        service.registerHandler(&reporter);
        core->run(true);
        EXPECT_EQ(core->stop(), 0u);
        service.unregisterHandler(&reporter);
    });
    ASSERT_EQ(host.statuses().size(), 1u);
    EXPECT_EQ(host.statuses()[0].state, 3u);
    EXPECT_EQ(host.statuses()[0].waitHint, 1500u);
}

TEST(SharedCore, AFailedInitialisationLeavesNoEntry) {
    RecordingHandler host;
    EXPECT_EQ(attach(u"retry", &host, u"/nonexistent/plugins.xml"), nullptr);
    // The attaching host hears why, as the host of a private core does.
    ASSERT_EQ(host.statuses().size(), 1u);
    EXPECT_EQ(host.statuses()[0].exitCode, 103u);

    auto core = attach(u"retry", nullptr);
    ASSERT_NE(core, nullptr);
    EXPECT_NE(attach(u"retry", nullptr, u"/nonexistent/plugins.xml"), nullptr);
}

TEST(SharedCore, ReportsReachEveryAttachedHost) {
    RecordingHandler hostA;
    RecordingHandler hostB;
    auto a = attach(u"fan-out", &hostA);
    auto b = attach(u"fan-out", &hostB);
    auto anonymous = attach(u"fan-out", nullptr);
    ASSERT_TRUE(a && b && anonymous);

    withService(*anonymous, [](IService& service) {
        service.reportStartPending(100);
        service.stopService(9);
        // A shared core has no status handle.
        EXPECT_EQ(service.registerDeviceNotification(nullptr, true), nullptr);
    });
    for (RecordingHandler* host : {&hostA, &hostB}) {
        ASSERT_EQ(host->statuses().size(), 1u);
        EXPECT_EQ(host->statuses()[0].state, 2u);
        EXPECT_EQ(host->exitCode, 9);
        EXPECT_EQ(host->stopRequests, 1);
    }

    b.reset();
    withService(*a, [](IService& service) { service.reportStopPending(200); });
    EXPECT_EQ(hostA.statuses().size(), 2u);
    EXPECT_EQ(hostB.statuses().size(), 1u);
}

TEST(SharedCore, HandlerFansLogLinesOutAndAlwaysAllowsTheStart) {
    holm::core::SharedHostHandlers hosts;
    holm::core::CHolmCoreSharedHandler handler(hosts);
    RecordingHandler first;
    RecordingHandler second;
    second.allowStart = false;
    hosts.add(&first);
    hosts.add(&second);
    hosts.add(&second);  // a second host with the same handler
    hosts.add(nullptr);

    handler.log(0, u"Core", u"line");
    EXPECT_EQ(first.logLines(), std::vector<std::u16string>{u"Core: line"});
    EXPECT_EQ(second.logLines().size(), 2u);
    EXPECT_TRUE(handler.canStart());
    EXPECT_EQ(second.canStartCalls, 2);
    EXPECT_EQ(handler.getStatusHandle(), nullptr);
    EXPECT_EQ(handler.getVersion(), 0x04000200u);

    // One host detaching keeps the other that shares its handler.
    hosts.remove(&second);
    hosts.remove(&first);
    handler.log(0, u"Core", u"again");
    EXPECT_EQ(first.logLines().size(), 1u);
    EXPECT_EQ(second.logLines().size(), 3u);
}

}  // namespace
