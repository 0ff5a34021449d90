// The gateway and its objects over a core of the test's own.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "gateway/gateway.h"
#include "gateway/support/fake_core.h"

namespace {

using holm::gateway::gatewayFactory;
using holm::gateway::HPlg2Gateway;
using holm::test::FakeCore;

// A manager that only hands over the core and records the mark.
class FakeManager : public HlmPlg::IPluginManager2 {
  public:
    explicit FakeManager(HlmPlg::IHlmCore* core) : core_(core) {}
    HlmPlg::IPluginObject2* createObject(const char*, const char*) override { return nullptr; }
    void setAvailableAfterInit() override { marked = true; }
    HlmPlg::IHlmCore* getCore() override { return core_; }
    bool marked = false;

  private:
    HlmPlg::IHlmCore* core_;
};

// Counts its calls and runs an optional action inside the callback.
class Subscriber : public HlmPlg::ISubscriber2 {
  public:
    void onNotify() override {
        ++calls;
        if (action) {
            action();
        }
    }
    int calls = 0;
    std::function<void()> action;
};

class GatewayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gateway_.reset(static_cast<HlmPlg::IHolmPlugin2*>(gatewayFactory("Holm/Gateway/1.0")));
        ASSERT_TRUE(gateway_);
        ASSERT_EQ(gateway_->init(&manager_), 0u);
    }
    HlmPlg::IHP2ObjNotifier* notifier(const char* typeName) {
        return dynamic_cast<HlmPlg::IHP2ObjNotifier*>(gateway_->createObject(typeName));
    }

    FakeCore core_;
    FakeManager manager_{&core_};
    HlmPlg::RefPtr<HlmPlg::IHolmPlugin2> gateway_;
};

TEST(GatewayFactory, ServesOnlyItsExactName) {
    HlmPlg::RefPtr<HlmPlg::IPluginObject2> gateway(gatewayFactory("Holm/Gateway/1.0"));
    ASSERT_TRUE(gateway);
    EXPECT_STREQ(gateway->getTypeName(), "Holm/Gateway/1.0");
    EXPECT_EQ(gatewayFactory("holm/gateway/1.0"), nullptr);
    EXPECT_EQ(gatewayFactory(""), nullptr);
    EXPECT_EQ(gatewayFactory(nullptr), nullptr);
}

TEST(GatewayInit, WithoutConfigurationGives1610) {
    FakeCore core;
    core.withConfig = false;
    FakeManager manager(&core);
    HlmPlg::RefPtr<HlmPlg::IHolmPlugin2> gateway(
        static_cast<HlmPlg::IHolmPlugin2*>(gatewayFactory("Holm/Gateway/1.0")));
    EXPECT_EQ(gateway->init(&manager), 1610u);
    EXPECT_TRUE(manager.marked);
}

// init holds one configuration with the notifier registered on it; uninit
// gives it back.
TEST_F(GatewayTest, InitHoldsOneConfigurationUntilUninit) {
    EXPECT_TRUE(manager_.marked);
    ASSERT_EQ(core_.configs.size(), 1u);
    EXPECT_EQ(core_.configs[0]->handlers.size(), 1u);
    gateway_->uninit();
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_CONFIG), 0);
}

// Each wrapper holds its own service object and gives it back with its last
// reference; the resource-string wrapper too.
TEST_F(GatewayTest, WrappersForwardAndReleaseTheirServices) {
    HlmPlg::RefPtr<HlmPlg::IPluginObject2> configObject(gateway_->createObject("IConfig"));
    auto* config = dynamic_cast<HlmPlg::IHP2ObjConfig*>(configObject.get());
    ASSERT_NE(config, nullptr);
    EXPECT_STREQ(config->getTypeName(), "IConfig");
    EXPECT_EQ(std::u16string(config->readString(u"DEMO", u"Greeting", u"x")), u"hello");
    EXPECT_EQ(std::u16string(config->getAppDataSubDir(u"LOGFILES")), u"/data/LOGFILES/");
    EXPECT_TRUE(config->isModuleAvailable(7));
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_CONFIG), 2);

    HlmPlg::RefPtr<HlmPlg::IPluginObject2> stringsObject(gateway_->createObject("IResString2"));
    auto* strings = dynamic_cast<HlmPlg::IHP2ObjResString2*>(stringsObject.get());
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(strings->getMasterText(u"#X"), u"master:#X");
    EXPECT_EQ(strings->formatString(7, u"disk", 3), u"disk has 3 files");
    EXPECT_EQ(strings->formatString(8, u"one", u"two"), u"two before one");
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_RESSTRING2), 1);

    configObject.reset();
    stringsObject.reset();
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_CONFIG), 1);
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_RESSTRING2), 0);
    // Without a log service the log wrapper is not made, and nothing stays.
    EXPECT_EQ(gateway_->createObject("IAvLog"), nullptr);
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_RESSTRING2), 0);
    EXPECT_EQ(gateway_->createObject("IUnknown"), nullptr);
    EXPECT_EQ(gateway_->createObject("iconfig"), nullptr);
}

// An object of another type than the one asked for is given back to the
// core, never wrapped, whichever answer the check gave before for the other
// type.
TEST_F(GatewayTest, AnObjectOfAnotherTypeIsGivenBackUnwrapped) {
    for (int round = 0; round < 2; ++round) {
        HlmPlg::RefPtr<HlmPlg::IPluginObject2> config(gateway_->createObject("IConfig"));
        ASSERT_NE(dynamic_cast<HlmPlg::IHP2ObjConfig*>(config.get()), nullptr);
        config.reset();

        core_.configOfAnotherType = true;
        EXPECT_EQ(gateway_->createObject("IConfig"), nullptr);
        EXPECT_EQ(gateway_->createObject("IConfig"), nullptr);
        EXPECT_EQ(core_.liveObjects(HlmPlg::IID_CONFIG), 1);  // the gateway's own
        core_.configOfAnotherType = false;
    }
}

TEST_F(GatewayTest, NotifiersAreTheGatewaysOwnObjects) {
    HlmPlg::IHP2ObjNotifier* update = notifier("IUpdateNotifier");
    ASSERT_NE(update, nullptr);
    EXPECT_EQ(notifier("IUpdateNotifier"), update);
    EXPECT_EQ(update->addRef(), 1u);
    EXPECT_EQ(update->release(), 1u);
    EXPECT_STREQ(update->getTypeName(), "IUpdateNotifier");
    HlmPlg::IHP2ObjNotifier* config = notifier("IConfigNotifier");
    ASSERT_NE(config, nullptr);
    EXPECT_NE(static_cast<void*>(config), static_cast<void*>(update));
}

TEST_F(GatewayTest, NotifierResults) {
    for (const char* name : {"IUpdateNotifier", "IConfigNotifier"}) {
        SCOPED_TRACE(name);
        HlmPlg::IHP2ObjNotifier* target = notifier(name);
        Subscriber subscriber;
        EXPECT_EQ(target->subscribe(&subscriber), 1u);
        EXPECT_EQ(target->subscribe(&subscriber), 0u);
        target->notify();
        EXPECT_EQ(subscriber.calls, 1);
        EXPECT_EQ(target->unsubscribe(&subscriber), 1u);
        target->notify();
        EXPECT_EQ(subscriber.calls, 1);
    }
    Subscriber stranger;
    EXPECT_EQ(notifier("IUpdateNotifier")->unsubscribe(&stranger), 1u);
    EXPECT_EQ(notifier("IConfigNotifier")->unsubscribe(&stranger), 0u);
}

// A reload of the core reaches the configuration notifier's subscribers.
TEST_F(GatewayTest, ConfigurationReloadReachesSubscribers) {
    Subscriber subscriber;
    notifier("IConfigNotifier")->subscribe(&subscriber);
    core_.reloadConfig();
    EXPECT_EQ(subscriber.calls, 1);
}

// Subscribers may unsubscribe themselves or others inside the callback; one
// removed before its turn is not called; one that throws does not keep the
// others from their call.
TEST_F(GatewayTest, SubscribersChangeTheListDuringANotification) {
    HlmPlg::IHP2ObjNotifier* target = notifier("IConfigNotifier");
    Subscriber thrower, self, later;
    thrower.action = [] { throw std::runtime_error("subscriber failed"); };
    self.action = [&] {
        EXPECT_EQ(target->unsubscribe(&self), 1u);
        EXPECT_EQ(target->unsubscribe(&later), 1u);
    };
    target->subscribe(&thrower);
    target->subscribe(&self);
    target->subscribe(&later);
    target->notify();
    target->notify();
    EXPECT_EQ(thrower.calls, 2);
    EXPECT_EQ(self.calls, 1);
    EXPECT_EQ(later.calls, 0);
}

// A subscriber that waits for another thread notifying the same notifier
// does not deadlock: no lock is held while subscribers run.
TEST_F(GatewayTest, SubscriberMayWaitForAnotherNotifyingThread) {
    HlmPlg::IHP2ObjNotifier* target = notifier("IUpdateNotifier");
    Subscriber subscriber;
    std::thread::id first = std::this_thread::get_id();
    subscriber.action = [&] {
        if (std::this_thread::get_id() == first) {
            auto other = std::async(std::launch::async, [&] { target->notify(); });
            EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        }
    };
    target->subscribe(&subscriber);
    target->notify();
    EXPECT_EQ(subscriber.calls, 2);
    target->unsubscribe(&subscriber);
}

}  // namespace
