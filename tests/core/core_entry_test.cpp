#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "common/utf16.h"
#include "core/support/core_entry.h"
#include "core/support/host_harness.h"
#include "platform/file_lock.h"
#include "support/test_support.h"

namespace {

using holm::test::coreEntry;
using holm::test::CorePtr;
using holm::test::makeEntryCore;
using holm::test::RecordingHandler;
using holm::test::writeEntryList;
using namespace HlmPlg;
namespace fs = std::filesystem;

class ServiceHandler : public IServiceHandler {
  public:
    void onRunning() override { ++running; }
    void onStopping() override { stoppingThread = std::this_thread::get_id(); }
    void onControl(uint32_t control, uint32_t, void*) override { lastControl = control; }
    int running = 0;
    uint32_t lastControl = 0;
    std::thread::id stoppingThread;
};

TEST(CoreEntry, InlineListRunsAndStops) {
    RecordingHandler handler;
    auto core = makeEntryCore(u"@XMLFILE:name=a;file=a.so", handler);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->getVersion(), 0x04000200u);
    ServiceHandler service;
    core->registerServiceHandler(&service);

    EXPECT_EQ(core->run(false), 0u);
    EXPECT_EQ(service.running, 1);
    core->serviceControl(128, 0, nullptr);
    EXPECT_EQ(service.lastControl, 128u);
    EXPECT_EQ(core->stop(), 0u);
    EXPECT_NE(service.stoppingThread, std::thread::id());
    EXPECT_NE(service.stoppingThread, std::this_thread::get_id());
    EXPECT_TRUE(handler.statuses().empty());
    // The inline form has no settings.
    EXPECT_EQ(std::u16string(core->getListAttribute(u"name", u"dflt")), u"dflt");
}

TEST(CoreEntry, MissingOrUnsafeListFileFailsItsSelftest) {
    holm::test::TempDir dir;
    RecordingHandler handler;
    const auto missing = dir.path() / "absent.xml";
    EXPECT_EQ(makeEntryCore(holm::test::u16(missing), handler), nullptr);
    ASSERT_EQ(handler.statuses().size(), 1u);
    EXPECT_EQ(handler.statuses()[0].state, 1u);
    EXPECT_EQ(handler.statuses()[0].exitCode, 103u);
    EXPECT_EQ(handler.statuses()[0].waitHint, 5000u);
    EXPECT_TRUE(
        handler.logged(u"Core:   Selftest failed for '" + holm::test::u16(missing) + u"'."));
    EXPECT_TRUE(
        handler.logged(u"Core:   " + holm::test::u16(missing) + u": the file does not exist."));

    // A list others may write (where file modes apply; a Windows file's access
    // list is covered by the platform's and security's suites).
    if (holm::test::fileModesApply()) {
        RecordingHandler unsafe;
        auto list = writeEntryList(dir, "<list/>");
        fs::permissions(list, fs::perms::others_write, fs::perm_options::add);
        EXPECT_EQ(makeEntryCore(holm::test::u16(list), unsafe), nullptr);
        EXPECT_EQ(unsafe.statuses().at(0).exitCode, 103u);
    }
}

TEST(CoreEntry, MalformedListGivesCodeTwoWithTheParserError) {
    holm::test::TempDir dir;
    RecordingHandler handler;
    auto list = writeEntryList(dir, "<list><plugins></list>");
    EXPECT_EQ(makeEntryCore(holm::test::u16(list), handler), nullptr);
    EXPECT_EQ(handler.statuses().at(0).exitCode, 2u);
    EXPECT_TRUE(handler.logged(u"Parsing error #7 (line 1, column 17): mismatched tag."));
}

TEST(CoreEntry, ListSettingsAreReadBeforeRun) {
    holm::test::TempDir dir;
    RecordingHandler handler;
    auto list = writeEntryList(
        dir, "<list><service><mode>quiet</mode><cfg>#FN_CFGLIB</cfg></service></list>");
    auto core = makeEntryCore(holm::test::u16(list), handler);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(std::u16string(core->getListAttribute(u"mode", u"")), u"quiet");
    std::u16string cfg = core->getListAttribute(u"cfg", u"");
    const std::u16string library = u"libholmcfg" HOLM_TEST_PLUGIN_SUFFIX;
    EXPECT_TRUE(cfg.ends_with(library)) << holm::common::utf16ToUtf8(cfg);
    EXPECT_EQ(core->run(false), 0u);
    EXPECT_EQ(core->stop(), 0u);
}

TEST(CoreEntry, CanStartFalseRequestsStopOnce) {
    RecordingHandler handler;
    handler.allowStart = false;
    auto core = makeEntryCore(u"@XMLFILE:", handler);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->run(false), 0u);
    EXPECT_EQ(handler.stopRequests, 1);
}

TEST(CoreEntry, CommandLineReachesPlugins) {
    RecordingHandler handler;
    auto core = makeEntryCore(u"@XMLFILE:", handler);
    ASSERT_NE(core, nullptr);
    const char16_t* arguments[] = {u"/usr/sbin/avholm", u"/test=all=demo", u"-seh"};
    core->setCommandLine(3, arguments);

    auto* cmdLine = dynamic_cast<ICmdLine*>(core->createInterface(IID_CMDLINE));
    ASSERT_NE(cmdLine, nullptr);
    EXPECT_TRUE(cmdLine->hasSwitch(u"SEH"));
    EXPECT_EQ(std::u16string(cmdLine->getSwitchValue(u"test")), u"all=demo");
    core->releaseInterface(IID_CMDLINE, cmdLine);

    EXPECT_EQ(core->createInterface(20), nullptr);
    EXPECT_EQ(core->createInterface(59), nullptr);
    core->setCommandLine(0, nullptr);
}

TEST(CoreEntry, BuiltServicesComeThroughTheFacadeAndOthersAreNull) {
    RecordingHandler handler;
    auto core = makeEntryCore(u"@XMLFILE:", handler);
    ASSERT_NE(core, nullptr);
    for (int32_t id :
         {IID_KEYVALUELIST, IID_STRINGLIST, IID_DATALIST, IID_SYNCREADWRITE, IID_SERIALIZABLELIST,
          IID_WOW64FSREDIR, IID_CMDLINE, IID_CONFIG, IID_LOG, IID_CONFIGWRITE}) {
        IInterface* object = core->createInterface(id);
        ASSERT_NE(object, nullptr) << id;
        EXPECT_EQ(object->m_id, id);
        core->releaseInterface(id, object);
    }
    auto* strings = dynamic_cast<IStringList*>(core->createInterface(IID_STRINGLIST));
    ASSERT_NE(strings, nullptr);
    strings->add(u"a");
    EXPECT_EQ(strings->getCount(), 1);
    core->releaseInterface(IID_STRINGLIST, strings);
    // An id no provider serves has no object rather than a stand-in.
    EXPECT_EQ(core->createInterface(20), nullptr);
}

TEST(CoreEntry, InlineListRemovesNoTemporaryFolders) {
    const fs::path base = fs::path(holm::test::testDataDirectory()) / "TEMP";
    fs::create_directories(base / "CORE_TESTS_00000001");
    RecordingHandler handler;
    auto core = makeEntryCore(u"@XMLFILE:name=x;file=y", handler);
    ASSERT_NE(core, nullptr);
    EXPECT_TRUE(fs::exists(base / "CORE_TESTS_00000001"));
    fs::remove_all(base);
}

}  // namespace
