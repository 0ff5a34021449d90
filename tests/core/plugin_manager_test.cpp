#include "core/plugin_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/support/fake_service.h"
#include "core/support/host_harness.h"
#include "hlmplg/hlmplg.h"

namespace {

using holm::core::CPluginManager;
using namespace HlmPlg;

struct Widget : IHandlerInterface {
    std::vector<IHandler*> handlers;
    bool registerHandler(IHandler* handler) override {
        handlers.push_back(handler);
        return true;
    }
    bool unregisterHandler(IHandler* handler) override {
        std::erase(handlers, handler);
        return true;
    }
};

// A provider that makes Widgets and counts what it made and destroyed.
class CountingProvider : public CHlmPlg {
  public:
    explicit CountingProvider(const char16_t* name = u"provider") : CHlmPlg(name) {}
    IInterface* createInterface(int32_t) override {
        ++created;
        return new Widget;
    }
    void releaseInterface(IInterface* object) override {
        ++released;
        if (beforeRelease) {
            beforeRelease(object);
        }
        delete object;
    }
    int created = 0;
    int released = 0;
    std::function<void(IInterface*)> beforeRelease;
};

// Hands out its one service object, which records broadcast messages (for
// the "QueryInterface" report).
class ServiceProvider : public CHlmPlg {
  public:
    IInterface* createInterface(int32_t) override { return &service; }
    void releaseInterface(IInterface*) override {}
    holm::test::FakeService service;
};

class ThrowingProvider : public CHlmPlg {
  public:
    IInterface* createInterface(int32_t) override { throw CHlmException(42); }
};

class Plugin : public CHlmPlg {
  public:
    explicit Plugin(IHlmPlg* facade) : CHlmPlg(u"plugin", facade) {}
    using CHlmPlg::declareInterface;
    using CHlmPlg::setInterfaceHandler;
    IInterface* first = nullptr;
    IInterface* second = nullptr;
};

struct CountedHandler : IHandler {
    static inline int alive = 0;
    CountedHandler() { ++alive; }
    ~CountedHandler() override { --alive; }
};

TEST(PluginManager, ReplacedProviderServesCreationAndKeepsItsOwnObjects) {
    CPluginManager manager;
    CountingProvider first, second;
    manager.registerProvider(30, &first);
    IInterface* early = manager.createInterface(nullptr, 30);
    manager.registerProvider(30, &second);
    IInterface* late = manager.createInterface(nullptr, 30);

    ASSERT_NE(early, nullptr);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->m_provider, &second);
    EXPECT_EQ(late->m_id, 30);

    // Each object goes back to the provider that made it.
    manager.releaseInterface(nullptr, 30, late);
    manager.releaseInterface(nullptr, 30, early);
    EXPECT_EQ(first.released, 1);
    EXPECT_EQ(second.released, 1);
    EXPECT_EQ(manager.liveInterfaceCount(), 0u);
}

TEST(PluginManager, UnknownIdsGiveNullAndEachRequestANewObject) {
    CPluginManager manager;
    CountingProvider provider;
    EXPECT_EQ(manager.createInterface(nullptr, 20), nullptr);
    EXPECT_EQ(manager.createInterface(nullptr, 59), nullptr);

    manager.registerProvider(20, &provider);
    IInterface* a = manager.createInterface(&provider, 20);
    IInterface* b = manager.createInterface(&provider, 20);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->m_owner, &provider);
    EXPECT_EQ(manager.liveInterfaceCount(), 2u);
    EXPECT_TRUE(manager.hasLiveInterfacesFrom(&provider));
    manager.releaseInterface(nullptr, 20, a);
    manager.releaseInterface(nullptr, 20, b);
    EXPECT_FALSE(manager.hasLiveInterfacesFrom(&provider));

    manager.unregisterProvider(20, nullptr);
    EXPECT_EQ(manager.createInterface(nullptr, 20), nullptr);
}

TEST(PluginManager, DeclarationsAreCountedAndAcquiredAtStart) {
    CPluginManager manager;
    CountingProvider provider;
    manager.registerProvider(30, &provider);
    Plugin plugin(&manager);

    EXPECT_EQ(plugin.declareInterface(30, &plugin.first, true), 1);
    EXPECT_EQ(plugin.declareInterface(31, &plugin.second, false), 2);
    IInterface* third = nullptr;
    EXPECT_EQ(plugin.declareInterface(30, &third, false), 3);

    // The optional id 31 has no provider: its variable stays null.
    EXPECT_TRUE(plugin.start());
    EXPECT_NE(plugin.first, nullptr);
    EXPECT_EQ(plugin.second, nullptr);
    EXPECT_NE(third, nullptr);

    EXPECT_TRUE(plugin.stop());
    EXPECT_EQ(plugin.first, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_EQ(provider.released, 2);
    manager.forgetDeclarations(&plugin);
}

TEST(PluginManager, MissingRequiredInterfaceIsReportedAndFailsStart) {
    CPluginManager manager;
    ServiceProvider services;
    manager.registerProvider(IID_SERVICE, &services);
    Plugin plugin(&manager);
    plugin.declareInterface(40, &plugin.first, true);

    EXPECT_FALSE(plugin.start());
    EXPECT_EQ(plugin.first, nullptr);
    EXPECT_EQ(services.service.broadcasts,
              (std::vector<holm::test::FakeService::Broadcast>{{u"QueryInterface(40)", 1}}));
    EXPECT_EQ(manager.liveInterfaceCount(), 0u);
    manager.forgetDeclarations(&plugin);
}

TEST(PluginManager, HandlersAreRegisteredAndOwnedOnesDestroyed) {
    CPluginManager manager;
    CountingProvider provider;
    manager.registerProvider(30, &provider);
    Plugin plugin(&manager);
    plugin.declareInterface(30, &plugin.first, true);
    plugin.setInterfaceHandler(&plugin.first, new CountedHandler, true);
    CountedHandler kept;  // not owned: never destroyed by the facade
    plugin.declareInterface(30, &plugin.second, true);
    plugin.setInterfaceHandler(&plugin.second, &kept, false);

    ASSERT_TRUE(plugin.start());
    EXPECT_EQ(static_cast<Widget*>(plugin.first)->handlers.size(), 1u);
    EXPECT_EQ(static_cast<Widget*>(plugin.second)->handlers[0], &kept);
    EXPECT_EQ(CountedHandler::alive, 2);

    ASSERT_TRUE(plugin.stop());
    EXPECT_EQ(CountedHandler::alive, 1);
    manager.forgetDeclarations(&plugin);
}

TEST(PluginManager, ProviderExceptionSetsLastErrorOfThePlugin) {
    CPluginManager manager;
    ThrowingProvider provider;
    manager.registerProvider(30, &provider);
    Plugin plugin(&manager);
    plugin.declareInterface(30, &plugin.first, true);

    EXPECT_THROW(plugin.start(), CHlmException);
    EXPECT_EQ(plugin.getLastError(), 42u);
    manager.forgetDeclarations(&plugin);
}

// A second release of one object, or a pointer the facade never handed out,
// never reaches a provider: it is ignored and logged.
TEST(PluginManager, UnknownObjectsAreIgnoredWithALogLine) {
    CPluginManager manager;
    holm::test::RecordingHandler host;
    manager.setReporting({nullptr, &host}, nullptr);
    CountingProvider provider;
    manager.registerProvider(30, &provider);
    IInterface* object = manager.createInterface(nullptr, 30);
    ASSERT_NE(object, nullptr);
    manager.releaseInterface(nullptr, 30, object);
    manager.releaseInterface(nullptr, 30, object);
    Widget foreign;
    manager.releaseInterface(nullptr, 30, &foreign);
    manager.releaseInterface(nullptr, 30, nullptr);
    EXPECT_EQ(provider.released, 1);
    EXPECT_EQ(host.logLines().size(), 2u);
    EXPECT_TRUE(host.logged(u"releaseInterface of an unknown object"));
}

// A plugin that never stopped goes: what it still holds is released and its
// handlers unregistered before owned ones are destroyed.
TEST(PluginManager, ForgettingAStartedOwnerReleasesBeforeDestroying) {
    CPluginManager manager;
    CountingProvider provider;
    manager.registerProvider(30, &provider);
    Plugin plugin(&manager);
    plugin.declareInterface(30, &plugin.first, true);
    plugin.setInterfaceHandler(&plugin.first, new CountedHandler, true);
    ASSERT_TRUE(plugin.start());
    auto* widget = static_cast<Widget*>(plugin.first);
    ASSERT_EQ(widget->handlers.size(), 1u);
    provider.beforeRelease = [](IInterface* object) {
        // The handler was taken off the object, then destroyed, before the
        // object goes.
        EXPECT_TRUE(static_cast<Widget*>(object)->handlers.empty());
        EXPECT_EQ(CountedHandler::alive, 0);
    };
    manager.forgetDeclarations(&plugin);
    EXPECT_EQ(provider.released, 1);
    EXPECT_EQ(plugin.first, nullptr);
    EXPECT_EQ(CountedHandler::alive, 0);
    EXPECT_EQ(manager.liveInterfaceCount(), 0u);
}

TEST(PluginManager, ReleasingWithoutDeclarationsDoesNothing) {
    CPluginManager manager;
    Plugin plugin(&manager);
    EXPECT_TRUE(manager.releaseInterfaces(&plugin));
    EXPECT_TRUE(manager.acquireInterfaces(&plugin));
}

}  // namespace
