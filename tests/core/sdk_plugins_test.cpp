// The test plugins as plugin libraries in their own right: loaded directly
// (without the core's loader), driven through a stub facade, and checked
// against the signature self-test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/support/fake_service.h"
#include "hlmplg/hlmplg.h"
#include "platform/shared_library.h"
#include "security/verified_file.h"
#include "support/test_support.h"

namespace {

namespace platform = holm::platform;
using HlmPlg::CHlmPlg;
using HlmPlg::IInterface;
using GetPlugin = CHlmPlg* (*)(HlmPlg::IHlmPlg*, const char16_t*);
using FreePlugin = void (*)(CHlmPlg*);

std::string pluginPath(const std::string& name) {
    return std::string(HOLM_TEST_PLUGIN_DIR) + "/lib" + name + HOLM_TEST_PLUGIN_SUFFIX;
}

std::string examplePath(const std::string& name) {
    return std::string(HOLM_EXAMPLE_PLUGIN_DIR) + "/lib" + name + HOLM_TEST_PLUGIN_SUFFIX;
}

// The least of a facade: every declared interface is the one stub service,
// and one handler (the last one set) is registered on it while it is held.
class StubFacade : public HlmPlg::IHlmPlg {
  public:
    bool registerProvider(int32_t, CHlmPlg*) override { return true; }
    bool unregisterProvider(int32_t, CHlmPlg*) override { return true; }
    IInterface* createInterface(CHlmPlg*, int32_t) override { return nullptr; }
    void releaseInterface(CHlmPlg*, int32_t, IInterface*) override {}
    int32_t declareInterface(CHlmPlg* owner, int32_t, IInterface** variable, bool) override {
        *variable = nullptr;
        declared.push_back({owner, variable});
        return static_cast<int32_t>(declared.size());
    }
    void setInterfaceHandler(CHlmPlg*, IInterface**, HlmPlg::IHandler* handler,
                             bool owned) override {
        ASSERT_TRUE(owned);
        ownedHandler.reset(handler);
    }
    bool acquireInterfaces(CHlmPlg* owner) override {
        ++acquired;
        for (auto [declarer, variable] : declared) {
            if (declarer == owner) {
                *variable = &service;
            }
        }
        if (ownedHandler) {
            service.registerHandler(ownedHandler.get());
        }
        return true;
    }
    bool releaseInterfaces(CHlmPlg* owner) override {
        ++released;
        for (auto [declarer, variable] : declared) {
            if (declarer == owner) {
                *variable = nullptr;
            }
        }
        if (ownedHandler) {
            service.unregisterHandler(ownedHandler.get());
            ownedHandler.reset();
        }
        return true;
    }

    holm::test::FakeService service;
    std::vector<std::pair<CHlmPlg*, IInterface**>> declared;
    std::unique_ptr<HlmPlg::IHandler> ownedHandler;
    int acquired = 0;
    int released = 0;
};

class SdkPluginsTest : public ::testing::Test {
  protected:
    void SetUp() override { holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", log_.c_str()); }
    void TearDown() override { holm::test::setEnvironment("HOLM_TEST_PLUGIN_LOG", nullptr); }

    platform::SharedLibrary open(const std::string& name) { return openPath(pluginPath(name)); }
    platform::SharedLibrary openPath(const std::string& path) {
        auto loaded = platform::SharedLibrary::open(path);
        EXPECT_TRUE(loaded.ok()) << path << ": " << loaded.error().windowsError << " "
                                 << loaded.error().message;
        return loaded ? std::move(*loaded) : platform::SharedLibrary();
    }

    CHlmPlg* create(const platform::SharedLibrary& library, const char16_t* params = u"") {
        auto entry = reinterpret_cast<GetPlugin>(library.symbol("getHlmPlugin2"));
        EXPECT_NE(entry, nullptr);
        return entry ? entry(&facade_, params) : nullptr;
    }

    std::vector<std::string> recorded() const {
        std::vector<std::string> lines;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    holm::test::TempDir dir_;
    std::string log_ = (dir_.path() / "calls.log").string();
    StubFacade facade_;
};

TEST_F(SdkPluginsTest, OkPluginTakesItsNameFromParamsAndRecordsEveryCall) {
    auto library = open("ok");
    EXPECT_EQ(library.symbol("freeHlmPlugin"), nullptr);
    CHlmPlg* plugin = create(library, u"name=p1");
    ASSERT_NE(plugin, nullptr);

    EXPECT_EQ(std::u16string(plugin->getName()), u"p1");
    EXPECT_EQ(plugin->getVersion(), HlmPlg::kFrameworkVersion);
    EXPECT_TRUE(plugin->isInstalled(nullptr));
    EXPECT_TRUE(plugin->load());
    EXPECT_TRUE(plugin->start());
    EXPECT_FALSE(plugin->handleCmdLine(nullptr));
    EXPECT_TRUE(plugin->test(u"x=\u00e9"));
    EXPECT_TRUE(plugin->stop());
    EXPECT_TRUE(plugin->unload());
    delete plugin;

    EXPECT_EQ(facade_.acquired, 1);
    EXPECT_EQ(facade_.released, 1);
    EXPECT_EQ(recorded(),
              (std::vector<std::string>{"p1:getHlmPlugin2", "p1:isInstalled", "p1:load", "p1:start",
                                        "p1:handleCmdLine", "p1:test:x=\xc3\xa9", "p1:stop",
                                        "p1:unload", "p1:destructor"}));
}

TEST_F(SdkPluginsTest, FreeRecordsIsDestroyedThroughItsExport) {
    auto library = open("free_records");
    auto free = reinterpret_cast<FreePlugin>(library.symbol("freeHlmPlugin"));
    ASSERT_NE(free, nullptr);
    CHlmPlg* plugin = create(library);
    ASSERT_NE(plugin, nullptr);
    free(plugin);
    EXPECT_EQ(recorded(),
              (std::vector<std::string>{"free_records:getHlmPlugin2", "free_records:freeHlmPlugin",
                                        "free_records:destructor"}));
}

TEST_F(SdkPluginsTest, EachFailingPluginFailsOnlyWhereItSays) {
    EXPECT_EQ(open("no_export").symbol("getHlmPlugin2"), nullptr);
    {
        auto library = open("null_plugin");
        EXPECT_EQ(create(library), nullptr);
    }
    struct Case {
        const char* name;
        const char* failingCall;
        bool (*call)(CHlmPlg*);
    };
    // Each call sequence fails only at its last step.
    const Case cases[] = {
        {"fail_load", "load", [](CHlmPlg* p) { return p->load(); }},
        {"fail_start", "start", [](CHlmPlg* p) { return p->load() && p->start(); }},
        {"fail_stop", "stop", [](CHlmPlg* p) { return p->load() && p->start() && p->stop(); }},
        {"not_installed", "isInstalled", [](CHlmPlg* p) { return p->isInstalled(nullptr); }},
    };
    for (const Case& c : cases) {
        auto library = open(c.name);
        CHlmPlg* plugin = create(library);
        ASSERT_NE(plugin, nullptr) << c.name;
        EXPECT_FALSE(c.call(plugin)) << c.name;
        EXPECT_EQ(recorded().back(), std::string(c.name) + ":" + c.failingCall) << c.name;
        delete plugin;
    }
    auto wrong = open("wrong_version");
    CHlmPlg* plugin = create(wrong);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->getVersion(), 0x03000100u);
    delete plugin;
}

TEST_F(SdkPluginsTest, ThrowingPluginsThrowFromStart) {
    auto std_library = open("throw_std");
    CHlmPlg* plugin = create(std_library);
    ASSERT_NE(plugin, nullptr);
    EXPECT_THROW(plugin->start(), std::runtime_error);
    delete plugin;

    auto hlm_library = open("throw_hlm");
    plugin = create(hlm_library);
    ASSERT_NE(plugin, nullptr);
    try {
        plugin->start();
        ADD_FAILURE() << "start() did not throw";
    } catch (const HlmPlg::CHlmException& exception) {
        EXPECT_EQ(exception.getErrorCode(), 42u);
    }
    EXPECT_EQ(plugin->getLastError(), 42u);
    delete plugin;
}

TEST_F(SdkPluginsTest, ServiceHandlerPluginsRegisterInStartAndOnlyOneUnregisters) {
    auto old_library = open("old_version");
    CHlmPlg* plugin = create(old_library);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->getVersion(), 0x03000000u);
    ASSERT_TRUE(plugin->load() && plugin->start());
    EXPECT_EQ(facade_.service.handlers.size(), 1u);
    ASSERT_TRUE(plugin->stop());
    EXPECT_TRUE(facade_.service.handlers.empty());
    delete plugin;

    auto keeps_library = open("keeps_handler");
    plugin = create(keeps_library);
    ASSERT_NE(plugin, nullptr);
    ASSERT_TRUE(plugin->load() && plugin->start() && plugin->stop());
    delete plugin;
    ASSERT_EQ(facade_.service.handlers.size(), 1u);
    // The kept handler outlives its plugin object.
    auto* handler = dynamic_cast<HlmPlg::IServiceHandler*>(facade_.service.handlers[0]);
    ASSERT_NE(handler, nullptr);
    handler->onMessage(u"still here", 1);
    EXPECT_EQ(recorded().back(), "keeps_handler:onMessage:still here");
}

TEST_F(SdkPluginsTest, OnlyTheSignedOkPluginPassesTheSelftest) {
    using holm::security::Reason;
    EXPECT_TRUE(holm::security::selftest(pluginPath("ok"), holm::security::UnsignedFiles::Refuse,
                                         holm::security::LoadedFiles::Accept)
                    .passed());
    EXPECT_EQ(
        holm::security::selftest(pluginPath("unsigned"), holm::security::UnsignedFiles::Refuse,
                                 holm::security::LoadedFiles::Accept)
            .reason(),
        Reason::NoSignature);
    EXPECT_EQ(
        holm::security::selftest(pluginPath("tampered"), holm::security::UnsignedFiles::Refuse,
                                 holm::security::LoadedFiles::Accept)
            .reason(),
        Reason::WrongSize);
}

TEST_F(SdkPluginsTest, DemoPluginReportsThroughItsServiceAndDeclineDeclines) {
    auto decline = openPath(examplePath("demo_decline"));
    EXPECT_EQ(create(decline), nullptr);

    auto library = openPath(examplePath("demo_service"));
    auto free = reinterpret_cast<FreePlugin>(library.symbol("freeHlmPlugin"));
    ASSERT_NE(free, nullptr);
    CHlmPlg* plugin = create(library);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(std::u16string(plugin->getName()), u"demo");
    ASSERT_TRUE(plugin->load());
    EXPECT_EQ(facade_.declared.size(), 1u);
    ASSERT_TRUE(plugin->start());
    EXPECT_EQ(facade_.service.handlers.size(), 1u);
    EXPECT_TRUE(plugin->test(u"hello"));
    EXPECT_FALSE(plugin->handleCmdLine(nullptr));
    ASSERT_TRUE(plugin->stop());
    EXPECT_TRUE(facade_.service.handlers.empty());
    EXPECT_EQ(
        facade_.service.broadcastTexts(),
        (std::vector<std::u16string>{u"demo: started", u"demo: test(hello)", u"demo: stopping"}));
    free(plugin);
}

}  // namespace
