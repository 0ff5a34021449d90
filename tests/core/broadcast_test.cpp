// Broadcasts to service handlers that register and unregister handlers from
// inside a call, and handlers unregistered on one thread while another
// thread calls them (run these under ThreadSanitizer and AddressSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/service_handlers.h"
#include "core/shared_core.h"
#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace {

using holm::test::coreEntry;
using holm::test::CorePtr;
using holm::test::RecordingHandler;
using namespace HlmPlg;

// Calls are recorded as "<name>" in one list shared by the handlers; the
// first call of a handler runs its action once.
class ReentrantHandler : public IServiceHandler {
  public:
    ReentrantHandler(std::string name, std::vector<std::string>& calls)
        : name_(std::move(name)), calls_(calls) {}
    void onRunning() override { called(); }
    void onControl(uint32_t, uint32_t, void*) override { called(); }
    void onMessage(const char16_t*, uint32_t) override { called(); }

    std::function<void()> action;

  private:
    void called() {
        calls_.push_back(name_);
        if (action) {
            auto once = std::move(action);
            action = nullptr;
            once();
        }
    }
    std::string name_;
    std::vector<std::string>& calls_;
};

enum class Trigger { Control, Running, Message };
enum class Change { UnregisterSelf, UnregisterNext, RegisterNew };

using Calls = std::vector<std::string>;

class BroadcastReentry : public ::testing::TestWithParam<std::tuple<Trigger, Change>> {
  protected:
    void SetUp() override {
        core_.reset(coreEntry()(u"@XMLFILE:", &host_, nullptr));
        ASSERT_NE(core_, nullptr);
        service_ = dynamic_cast<IService*>(core_->createInterface(IID_SERVICE));
        ASSERT_NE(service_, nullptr);
        for (auto* handler : {&a_, &b_, &c_}) {
            ASSERT_TRUE(service_->registerHandler(handler));
        }
    }
    void TearDown() override {
        for (auto* handler : {&a_, &b_, &c_, &d_}) {
            service_->unregisterHandler(handler);
        }
        core_->releaseInterface(IID_SERVICE, service_);
        core_->stop();
        core_.reset();
    }
    void broadcast(Trigger trigger) {
        switch (trigger) {
            case Trigger::Control:
                core_->serviceControl(1, 0, nullptr);
                break;
            case Trigger::Running:
                core_->run(false);
                break;
            case Trigger::Message:
                service_->broadcastMessage(u"m", 1);
                break;
        }
    }

    RecordingHandler host_;
    CorePtr core_;
    IService* service_ = nullptr;
    Calls calls_;
    ReentrantHandler a_{"a", calls_};
    ReentrantHandler b_{"b", calls_};
    ReentrantHandler c_{"c", calls_};
    ReentrantHandler d_{"d", calls_};
};

// A change made during a broadcast: an unregistered handler is not called
// any more (also later in the same broadcast), a new one from the next
// broadcast on; no handler is skipped or called twice.
TEST_P(BroadcastReentry, ChangesTakeEffectWithoutSkippingOrRepeating) {
    const auto [trigger, change] = GetParam();
    Calls first;
    Calls second;
    switch (change) {
        case Change::UnregisterSelf:
            a_.action = [&] { service_->unregisterHandler(&a_); };
            first = {"a", "b", "c"};
            second = {"b", "c"};
            break;
        case Change::UnregisterNext:
            a_.action = [&] { service_->unregisterHandler(&b_); };
            first = {"a", "c"};
            second = {"a", "c"};
            break;
        case Change::RegisterNew:
            a_.action = [&] { service_->registerHandler(&d_); };
            first = {"a", "b", "c"};
            second = {"a", "b", "c", "d"};
            break;
    }
    broadcast(trigger);
    EXPECT_EQ(calls_, first);
    calls_.clear();
    service_->broadcastMessage(u"again", 1);
    EXPECT_EQ(calls_, second);
}

std::string reentryName(const ::testing::TestParamInfo<std::tuple<Trigger, Change>>& info) {
    static const char* const triggers[] = {"onControl", "onRunning", "onMessage"};
    static const char* const changes[] = {"UnregisterSelf", "UnregisterNext", "RegisterNew"};
    return std::string(triggers[static_cast<int>(std::get<0>(info.param))]) + "_" +
           changes[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    AllCallbacks, BroadcastReentry,
    ::testing::Combine(::testing::Values(Trigger::Control, Trigger::Running, Trigger::Message),
                       ::testing::Values(Change::UnregisterSelf, Change::UnregisterNext,
                                         Change::RegisterNew)),
    reentryName);

// A handler whose onMessage waits until released, so that another thread
// can unregister it while the call runs.
class BlockingHandler : public IServiceHandler {
  public:
    void onMessage(const char16_t*, uint32_t) override {
        entered.set_value();
        released.wait();
        finished = true;
    }
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished{false};
};

TEST(HandlerList, UnregisterWaitsForACallOnAnotherThread) {
    holm::core::ServiceHandlerList list;
    auto handler = std::make_unique<BlockingHandler>();
    list.add(handler.get());
    auto entered = handler->entered.get_future();
    std::thread broadcaster(
        [&] { list.forEach([](IServiceHandler* called) { called->onMessage(u"", 0); }); });
    entered.wait();
    bool finishedWhenRemoved = false;
    std::thread remover([&] {
        list.removeAll(handler.get());
        finishedWhenRemoved = handler->finished;
        handler.reset();  // its owner may destroy it as soon as remove returned
    });
    ASSERT_TRUE(holm::test::eventually([&] { return list.waitingRemovals() == 1; }));
    handler->release.set_value();
    remover.join();
    broadcaster.join();
    EXPECT_TRUE(finishedWhenRemoved);
    EXPECT_EQ(list.size(), 0u);
}

class SelfRemovingHandler : public IServiceHandler {
  public:
    explicit SelfRemovingHandler(holm::core::ServiceHandlerList& list) : list_(list) {}
    void onMessage(const char16_t*, uint32_t) override {
        list_.removeAll(this);  // its own call: no wait
        ++calls;
    }
    int calls = 0;

  private:
    holm::core::ServiceHandlerList& list_;
};

TEST(HandlerList, HandlerUnregistersItselfWithoutWaitingForItself) {
    holm::core::ServiceHandlerList list;
    SelfRemovingHandler handler(list);
    list.add(&handler);
    list.add(&handler);  // registered twice: both registrations go
    list.forEach([](IServiceHandler* called) { called->onMessage(u"", 0); });
    EXPECT_EQ(handler.calls, 1);
    EXPECT_EQ(list.size(), 0u);
}

// The stop notifications and the control thread call handlers at the same
// time. A handler that unregisters itself in onStopping and then deletes
// itself is never called again by the control thread's broadcasts.
class StopDeletingHandler : public IServiceHandler {
  public:
    StopDeletingHandler(IService& service, std::atomic<int>& controls, std::atomic<bool>& gone)
        : service_(service), controls_(controls), gone_(gone) {}
    void onControl(uint32_t, uint32_t, void*) override { ++controls_; }
    void onStopping() override {
        service_.unregisterHandler(this);
        gone_ = true;
        delete this;
    }

  private:
    IService& service_;
    std::atomic<int>& controls_;
    std::atomic<bool>& gone_;
};

TEST(HandlerList, StopThreadsAndControlThreadAgreeOnUnregisteredHandlers) {
    RecordingHandler host;
    CorePtr core(coreEntry()(u"@XMLFILE:", &host, nullptr));
    ASSERT_NE(core, nullptr);
    auto* service = dynamic_cast<IService*>(core->createInterface(IID_SERVICE));
    ASSERT_NE(service, nullptr);
    std::atomic<int> controls{0};
    std::atomic<bool> gone{false};
    for (int i = 0; i < 4; ++i) {
        service->registerHandler(new StopDeletingHandler(*service, controls, gone));
    }
    ASSERT_EQ(core->run(true), 0u);
    std::atomic<bool> stopped{false};
    std::thread control([&] {
        while (!stopped) {
            core->serviceControl(1, 0, nullptr);
        }
    });
    ASSERT_TRUE(holm::test::eventually([&] { return controls > 0; }));
    EXPECT_EQ(core->stop(), 0u);
    stopped = true;
    control.join();
    EXPECT_TRUE(gone);
    core->releaseInterface(IID_SERVICE, service);
}

}  // namespace
