#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <unistd.h>

#include "core/support/host_harness.h"
#include "platform/file_lock.h"
#include "support/test_support.h"

namespace {

using holm::test::coreEntry;
using holm::test::RecordingHandler;
using namespace HlmPlg;
namespace fs = std::filesystem;

using holm::test::CorePtr;

CorePtr makeCore(const std::u16string& list, RecordingHandler& handler) {
    return CorePtr(coreEntry()(list.c_str(), &handler, nullptr));
}

// A list file the relaxed check accepts: unsigned, in a private directory,
// writable by its owner only.
fs::path writeList(const holm::test::TempDir& dir, const std::string& content) {
    auto path = dir.write("plugins.xml", content);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(dir.path(), fs::perms::owner_all);
    return path;
}

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
    auto core = makeCore(u"@XMLFILE:name=a;file=a.so", handler);
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
    EXPECT_EQ(makeCore(holm::test::u16(missing), handler), nullptr);
    ASSERT_EQ(handler.statuses().size(), 1u);
    EXPECT_EQ(handler.statuses()[0].state, 1u);
    EXPECT_EQ(handler.statuses()[0].exitCode, 103u);
    EXPECT_EQ(handler.statuses()[0].waitHint, 5000u);
    EXPECT_TRUE(
        handler.logged(u"Core:   Selftest failed for '" + holm::test::u16(missing) + u"'."));
    EXPECT_TRUE(
        handler.logged(u"Core:   " + holm::test::u16(missing) + u": the file does not exist."));

    RecordingHandler unsafe;
    auto list = writeList(dir, "<list/>");
    fs::permissions(list, fs::perms::others_write, fs::perm_options::add);
    EXPECT_EQ(makeCore(holm::test::u16(list), unsafe), nullptr);
    EXPECT_EQ(unsafe.statuses().at(0).exitCode, 103u);
}

TEST(CoreEntry, MalformedListGivesCodeTwoWithTheParserError) {
    holm::test::TempDir dir;
    RecordingHandler handler;
    auto list = writeList(dir, "<list><plugins></list>");
    EXPECT_EQ(makeCore(holm::test::u16(list), handler), nullptr);
    EXPECT_EQ(handler.statuses().at(0).exitCode, 2u);
    EXPECT_TRUE(handler.logged(u"Parsing error #7 (line 1, column 17): mismatched tag."));
}

TEST(CoreEntry, ListSettingsAreReadBeforeRun) {
    holm::test::TempDir dir;
    RecordingHandler handler;
    auto list =
        writeList(dir, "<list><service><mode>quiet</mode><cfg>#FN_CFGLIB</cfg></service></list>");
    auto core = makeCore(holm::test::u16(list), handler);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(std::u16string(core->getListAttribute(u"mode", u"")), u"quiet");
    std::u16string cfg = core->getListAttribute(u"cfg", u"");
    EXPECT_EQ(cfg.substr(cfg.size() - 13), u"libholmcfg.so");
    EXPECT_EQ(core->run(false), 0u);
    EXPECT_EQ(core->stop(), 0u);
}

TEST(CoreEntry, CanStartFalseRequestsStopOnce) {
    RecordingHandler handler;
    handler.allowStart = false;
    auto core = makeCore(u"@XMLFILE:", handler);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->run(false), 0u);
    EXPECT_EQ(handler.stopRequests, 1);
}

TEST(CoreEntry, CommandLineReachesPlugins) {
    RecordingHandler handler;
    auto core = makeCore(u"@XMLFILE:", handler);
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
    auto core = makeCore(u"@XMLFILE:", handler);
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

// Leftover temporary folders of earlier instances go, however deep; the
// folder of a live instance, links, names of another shape and names that
// differ only in case stay.
TEST(CoreEntry, StaleTemporaryFoldersAreRemovedSafely) {
    const fs::path base = fs::path(holm::test::testDataDirectory()) / "TEMP";
    fs::create_directories(base);
    const fs::path stale = base / "CORE_TESTS_0000abcd";
    const fs::path deep = base / "CORE_TESTS_0000dddd";
    const fs::path live = base / "CORE_TESTS_1234abcd";
    const fs::path shortName = base / "CORE_TESTS_abc";
    const fs::path otherCase = base / "core_tests_0000abcd";
    const fs::path link = base / "CORE_TESTS_linklink";
    holm::test::TempDir outside;
    fs::create_directories(stale / "nested");
    std::ofstream(stale / "nested" / "file") << "x";
    fs::path bottom = deep;
    for (int level = 0; level < 150; ++level) {
        bottom /= "d";
    }
    fs::create_directories(bottom);
    fs::create_directories(live);
    fs::create_directories(shortName);
    fs::create_directories(otherCase);
    fs::create_directory_symlink(outside.path(), link);
    auto liveLock = holm::platform::FileLock::acquire((live / ".holm-instance.lock").string());
    ASSERT_TRUE(liveLock.ok());

    holm::test::TempDir dir;
    RecordingHandler handler;
    auto list = writeList(dir, "<list><service><name>guard</name></service></list>");
    auto core = makeCore(holm::test::u16(list), handler);
    ASSERT_NE(core, nullptr);

    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(handler.logged(u"DELETE TEMP FOLDER: <" + holm::test::u16(stale) + u"/>"));
    EXPECT_FALSE(fs::exists(deep));
    EXPECT_TRUE(handler.logged(u"DELETE TEMP FOLDER: <" + holm::test::u16(deep) + u"/>"));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_FALSE(handler.logged(holm::test::u16(live)));
    EXPECT_TRUE(fs::exists(shortName));
    EXPECT_TRUE(fs::exists(otherCase));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists(outside.path()));
    fs::remove_all(base);
}

// A folder that cannot be removed completely is reported with what is left,
// never as deleted.
TEST(CoreEntry, TemporaryFolderNotRemovedCompletelyIsReportedNotDeleted) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "handing a directory to another user needs root";
    }
    const fs::path base = fs::path(holm::test::testDataDirectory()) / "TEMP";
    const fs::path stale = base / "CORE_TESTS_0000eeee";
    fs::create_directories(stale / "foreign");
    ASSERT_EQ(chown((stale / "foreign").c_str(), 65534, 65534), 0);

    holm::test::TempDir dir;
    RecordingHandler handler;
    auto list = writeList(dir, "<list><service><name>guard</name></service></list>");
    auto core = makeCore(holm::test::u16(list), handler);
    ASSERT_NE(core, nullptr);

    EXPECT_TRUE(fs::exists(stale / "foreign"));
    EXPECT_FALSE(handler.logged(u"DELETE TEMP FOLDER: <" + holm::test::u16(stale)));
    EXPECT_TRUE(handler.logged(u"TEMP FOLDER NOT REMOVED: <" + holm::test::u16(stale) +
                               u"/> (error 5; 1 part(s) left alone, first: " +
                               holm::test::u16(stale / "foreign") + u")"));
    fs::remove_all(base);
}

TEST(CoreEntry, InlineListRemovesNoTemporaryFolders) {
    const fs::path base = fs::path(holm::test::testDataDirectory()) / "TEMP";
    fs::create_directories(base / "CORE_TESTS_00000001");
    RecordingHandler handler;
    auto core = makeCore(u"@XMLFILE:name=x;file=y", handler);
    ASSERT_NE(core, nullptr);
    EXPECT_TRUE(fs::exists(base / "CORE_TESTS_00000001"));
    fs::remove_all(base);
}

}  // namespace
