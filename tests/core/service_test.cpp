#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/plugin_manager.h"
#include "core/service.h"
#include "core/support/host_harness.h"
#include "registry/registry.h"
#include "support/test_support.h"

namespace {

using holm::test::coreEntry;
using holm::test::RecordingHandler;
using namespace HlmPlg;
namespace fs = std::filesystem;
namespace registry = holm::registry;

using holm::test::CorePtr;

// Records what the service side tells a service handler.
class RecordingServiceHandler : public IServiceHandler {
  public:
    void onControl(uint32_t control, uint32_t, void*) override { controls.push_back(control); }
    void onSelftestFailed(const char16_t* path) override { failedFiles.push_back(path); }
    void onException(const char16_t* place, uint32_t value, std::exception& exception) override {
        places.push_back(place);
        values.push_back(value);
        auto* coded = dynamic_cast<CHlmException*>(&exception);
        errorCodes.push_back(coded ? coded->getErrorCode() : 0xFFFFFFFF);
        auto* fault = dynamic_cast<CHlmWin32Exception*>(&exception);
        wasFault.push_back(fault != nullptr && fault->getCodeName().empty() &&
                           fault->getExceptionPointers() == nullptr);
    }
    void onMessage(const char16_t* text, uint32_t level) override {
        messages.push_back(std::u16string(text) + u"/" + char16_t(u'0' + level));
    }

    std::vector<uint32_t> controls;
    std::vector<std::u16string> failedFiles;
    std::vector<std::u16string> places;
    std::vector<uint32_t> values;
    std::vector<uint32_t> errorCodes;
    std::vector<bool> wasFault;
    std::vector<std::u16string> messages;
};

// A core from getHlmCore, as a host gets it, and its IService.
class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core_.reset(coreEntry()(u"@XMLFILE:", &host_, nullptr));
        ASSERT_NE(core_, nullptr);
        service_ = dynamic_cast<IService*>(core_->createInterface(IID_SERVICE));
        ASSERT_NE(service_, nullptr);
    }
    void TearDown() override {
        if (service_ != nullptr) {
            core_->releaseInterface(IID_SERVICE, service_);
        }
    }

    void setCommandLine(std::vector<const char16_t*> arguments) {
        core_->setCommandLine(static_cast<int32_t>(arguments.size()), arguments.data());
    }

    RecordingServiceHandler serviceHandler_;
    RecordingHandler host_;
    CorePtr core_;
    IService* service_ = nullptr;
};

TEST_F(ServiceTest, HandlersHearMessagesAndExceptionsUntilUnregistered) {
    RecordingServiceHandler other;
    struct PlainHandler : IHandler {
    } plain;
    EXPECT_FALSE(service_->registerHandler(&plain));
    EXPECT_FALSE(service_->registerHandler(nullptr));
    ASSERT_TRUE(service_->registerHandler(&serviceHandler_));
    ASSERT_TRUE(service_->registerHandler(&serviceHandler_));
    ASSERT_TRUE(service_->registerHandler(&other));

    service_->broadcastMessage(u"hello", 3);
    EXPECT_EQ(serviceHandler_.messages, (std::vector<std::u16string>{u"hello/3", u"hello/3"}));
    // The core forwards control requests to the same list.
    core_->serviceControl(128, 0, nullptr);
    EXPECT_EQ(other.controls, std::vector<uint32_t>{128});

    EXPECT_TRUE(service_->unregisterHandler(&serviceHandler_));  // both registrations
    CHlmException coded(42);
    EXPECT_EQ(service_->reportException(u"CPlugin(a)::start", 7, coded), 1);
    EXPECT_EQ(service_->reportStructuredException(u"thread", 2, nullptr), 1);
    service_->broadcastMessage(u"bye", 0);

    EXPECT_EQ(serviceHandler_.messages.size(), 2u);
    EXPECT_TRUE(serviceHandler_.places.empty());
    EXPECT_EQ(other.places, (std::vector<std::u16string>{u"CPlugin(a)::start", u"thread"}));
    EXPECT_EQ(other.values, (std::vector<uint32_t>{7, 2}));
    EXPECT_EQ(other.errorCodes, (std::vector<uint32_t>{42, 0}));
    EXPECT_EQ(other.wasFault, (std::vector<bool>{false, true}));
    EXPECT_EQ(other.messages, (std::vector<std::u16string>{u"hello/3", u"bye/0"}));
    service_->unregisterHandler(&other);
}

TEST_F(ServiceTest, StatusReportsAndStopRequestsReachTheHost) {
    service_->reportStartPending(3000);
    service_->reportStopPending(4000);
    const auto statuses = host_.statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].state, 2u);
    EXPECT_EQ(statuses[0].exitCode, 0u);
    EXPECT_EQ(statuses[0].waitHint, 3000u);
    EXPECT_EQ(statuses[1].state, 3u);
    EXPECT_EQ(statuses[1].waitHint, 4000u);

    service_->stopService(7);
    EXPECT_EQ(host_.exitCode, 7);
    EXPECT_EQ(host_.stopRequests, 1);
}

TEST_F(ServiceTest, CheckFileReportsATamperedFile) {
    const fs::path product = holm::test::productDirectory();
    holm::test::TempDir dir;
    const fs::path copy = dir.path() / "CommonTextRc.dll";
    fs::copy_file(product / "CommonTextRc.dll", copy);
    fs::copy_file(product / "CommonTextRc.dll.sig", dir.path() / "CommonTextRc.dll.sig");
    ASSERT_TRUE(service_->registerHandler(&serviceHandler_));

    EXPECT_TRUE(service_->checkFile(copy.u16string().c_str()));
    // A bare name is a file of the product directory.
    EXPECT_TRUE(service_->selftestFile(u"CommonTextRc.dll"));
    EXPECT_TRUE(serviceHandler_.failedFiles.empty());

    std::ofstream(copy, std::ios::binary | std::ios::app) << 'x';
    EXPECT_FALSE(service_->selftestFile(copy.u16string().c_str()));
    EXPECT_TRUE(serviceHandler_.failedFiles.empty());  // only checkFile reports
    EXPECT_FALSE(service_->checkFile(copy.u16string().c_str()));
    EXPECT_EQ(serviceHandler_.failedFiles, std::vector<std::u16string>{copy.u16string()});
    EXPECT_FALSE(service_->checkFile(nullptr));
    EXPECT_EQ(serviceHandler_.failedFiles.size(), 2u);
    service_->unregisterHandler(&serviceHandler_);
}

TEST_F(ServiceTest, CommandLineSwitchSehTurnsCatchingOff) {
    setCommandLine({u"/usr/sbin/avholm", u"/test=all"});
    EXPECT_TRUE(service_->catchExceptions());
    setCommandLine({u"/usr/sbin/avholm", u"-seh"});
    EXPECT_FALSE(service_->catchExceptions());
    setCommandLine({u"/usr/sbin/avholm", u"sehx"});
    EXPECT_TRUE(service_->catchExceptions());
    setCommandLine({});
}

TEST_F(ServiceTest, DebugSwitchDisableSehTurnsCatchingOff) {
    setCommandLine({u"/usr/sbin/avholm"});
    auto opened = registry::Store::openDefault();
    ASSERT_TRUE(opened.ok());
    const registry::Store store = std::move(*opened);
    auto created =
        registry::Key::create(store, registry::Root::LocalMachine, u"SOFTWARE\\_avdebug");
    ASSERT_TRUE(created.ok());
    const registry::Key key = std::move(*created);
    EXPECT_TRUE(service_->catchExceptions());  // key without the value

    ASSERT_TRUE(key.setValue(u"DisableSEH", registry::makeDword(1)).ok());
    EXPECT_FALSE(service_->catchExceptions());
    // Evaluated at every call: clearing the switch turns catching back on.
    ASSERT_TRUE(key.setValue(u"DisableSEH", registry::makeDword(0)).ok());
    EXPECT_TRUE(service_->catchExceptions());
    // Only a DWORD counts.
    ASSERT_TRUE(key.setValue(u"DisableSEH", registry::makeString(u"1")).ok());
    EXPECT_TRUE(service_->catchExceptions());

    EXPECT_TRUE(
        registry::deleteKeyTree(store, registry::Root::LocalMachine, u"SOFTWARE\\_avdebug").ok());
    setCommandLine({});
}

// The policy is cached, yet a change of the switch while plugins run takes
// effect at the next call, also when the key only appears later.
TEST(ExceptionPolicy, DisableSehFlippedWhilePluginsRunTakesEffectAtTheNextCall) {
    RecordingHandler host;
    const std::u16string list = u"@XMLFILE:name=p1;file=" HOLM_TEST_PLUGIN_DIR
                                "/libok" HOLM_TEST_PLUGIN_SUFFIX ";params=name=p1";
    CorePtr core(coreEntry()(list.c_str(), &host, nullptr));
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(core->run(true), 0u);
    auto* service = dynamic_cast<IService*>(core->createInterface(IID_SERVICE));
    ASSERT_NE(service, nullptr);
    auto opened = registry::Store::openDefault();
    ASSERT_TRUE(opened.ok());
    const registry::Store store = std::move(*opened);
    (void)registry::deleteKeyTree(store, registry::Root::LocalMachine,
                                  u"SOFTWARE\\_avdebug");  // absent or now removed
    EXPECT_TRUE(service->catchExceptions());               // no key: cached, parent watched

    auto created =
        registry::Key::create(store, registry::Root::LocalMachine, u"SOFTWARE\\_avdebug");
    ASSERT_TRUE(created.ok());
    const registry::Key key = std::move(*created);
    ASSERT_TRUE(key.setValue(u"DisableSEH", registry::makeDword(1)).ok());
    EXPECT_FALSE(service->catchExceptions());
    EXPECT_FALSE(service->catchExceptions());  // from the cache
    ASSERT_TRUE(key.setValue(u"DisableSEH", registry::makeDword(0)).ok());
    EXPECT_TRUE(service->catchExceptions());
    ASSERT_TRUE(key.setValue(u"DisableSEH", registry::makeDword(1)).ok());
    EXPECT_FALSE(service->catchExceptions());
    EXPECT_TRUE(
        registry::deleteKeyTree(store, registry::Root::LocalMachine, u"SOFTWARE\\_avdebug").ok());
    EXPECT_TRUE(service->catchExceptions());
    core->releaseInterface(IID_SERVICE, service);
    EXPECT_EQ(core->stop(), 0u);
}

// Reading the policy never creates the store (or anything in it).
TEST(ExceptionPolicy, ReadingTheSwitchCreatesNoStore) {
    RecordingHandler host;
    CorePtr core(coreEntry()(u"@XMLFILE:", &host, nullptr));
    ASSERT_NE(core, nullptr);
    auto* service = dynamic_cast<IService*>(core->createInterface(IID_SERVICE));
    ASSERT_NE(service, nullptr);
    holm::test::TempDir directory;
    const fs::path missing = directory.path() / "no-store";
    const fs::path previous = registry::Store::defaultDirectory();
    holm::test::setEnvironment("HOLM_REGISTRY_DIR", missing);
    EXPECT_TRUE(service->catchExceptions());
    EXPECT_TRUE(service->catchExceptions());
    // Neither its directory (Linux) nor its key (Windows keeps a store opened
    // at a directory in the system registry) was made.
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(registry::Store::open(missing, registry::StoreAccess::ReadOnly).ok());
    holm::test::setEnvironment("HOLM_REGISTRY_DIR", previous);
    core->releaseInterface(IID_SERVICE, service);
}

TEST_F(ServiceTest, WorkingSetAndDeviceNotifications) {
    EXPECT_EQ(service_->trimWorkingSet(), 0u);
    EXPECT_EQ(service_->registerDeviceNotification(nullptr, true), nullptr);
    EXPECT_FALSE(service_->unregisterDeviceNotification(nullptr));
}

TEST(ServiceObject, HostWithAStatusHandleStillGetsNoDeviceNotification) {
    struct StatusHandleHost : RecordingHandler {
        void* getStatusHandle() override { return this; }
    } host;
    CorePtr core(coreEntry()(u"@XMLFILE:", &host, nullptr));
    ASSERT_NE(core, nullptr);
    auto* service = dynamic_cast<IService*>(core->createInterface(IID_SERVICE));
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->registerDeviceNotification(nullptr, false), nullptr);
    core->releaseInterface(IID_SERVICE, service);
}

// A provider of real service objects over one handler list, as the core's.
class ServiceObjectProvider : public CHlmPlg {
  public:
    IInterface* createInterface(int32_t) override {
        return new holm::core::CHlmPlgService(nullptr, handlers, commandLine, u"");
    }
    holm::core::ServiceHandlerList handlers;
    holm::services::CommandLineHolder commandLine;
};

class VersionedPlugin : public CHlmPlg {
  public:
    VersionedPlugin(IHlmPlg* facade, uint32_t version) : CHlmPlg(u"p", facade), version_(version) {}
    uint32_t getVersion() override { return version_; }
    using CHlmPlg::declareInterface;
    using CHlmPlg::setInterfaceHandler;
    IService* service = nullptr;
    IInterface* missing = nullptr;

  private:
    uint32_t version_;
};

TEST(ServiceObject, ThroughTheFacadeOnlyHandlersOfCurrentPluginsHearReports) {
    holm::core::CPluginManager manager;
    ServiceObjectProvider provider;
    manager.registerProvider(IID_SERVICE, &provider);
    RecordingServiceHandler oldHandler;
    RecordingServiceHandler currentHandler;
    VersionedPlugin old(&manager, 0x03000000);
    VersionedPlugin current(&manager, 0x03000100);
    for (auto [plugin, handler] : {std::pair{&old, &oldHandler}, {&current, &currentHandler}}) {
        plugin->declareInterface(IID_SERVICE, &plugin->service, true);
        plugin->setInterfaceHandler(&plugin->service, handler, false);
        ASSERT_TRUE(plugin->start());
    }
    // The facade's report of a missing required interface goes through a
    // service object to every registered handler.
    VersionedPlugin needy(&manager, kFrameworkVersion);
    needy.declareInterface(40, &needy.missing, true);
    EXPECT_FALSE(needy.start());
    EXPECT_EQ(currentHandler.messages, std::vector<std::u16string>{u"QueryInterface(40)/1"});
    EXPECT_TRUE(oldHandler.messages.empty());

    // Objects asked for without an owner count as the core's own.
    auto* anonymous = dynamic_cast<IService*>(manager.createInterface(nullptr, IID_SERVICE));
    ASSERT_NE(anonymous, nullptr);
    EXPECT_TRUE(anonymous->registerHandler(&oldHandler));
    EXPECT_TRUE(anonymous->unregisterHandler(&oldHandler));
    manager.releaseInterface(nullptr, IID_SERVICE, anonymous);

    for (VersionedPlugin* plugin : {&old, &current, &needy}) {
        plugin->stop();
        manager.forgetDeclarations(plugin);
    }
    EXPECT_EQ(manager.liveInterfaceCount(), 0u);
}

TEST(ServiceObject, WithoutACoreHostCallsDoNothingAndNoFilePasses) {
    holm::core::ServiceHandlerList handlers;
    holm::services::CommandLineHolder commandLine;
    holm::core::CHlmPlgService service(nullptr, handlers, commandLine,
                                       fs::path(holm::test::productDirectory()).u16string());
    service.reportStartPending(1);
    service.reportStopPending(1);
    service.stopService(1);
    EXPECT_FALSE(service.selftestFile(u"CommonTextRc.dll"));
    EXPECT_EQ(service.registerDeviceNotification(nullptr, false), nullptr);
}

}  // namespace
