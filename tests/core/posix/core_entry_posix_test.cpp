// Leftover temporary folders on Linux: names that differ only in case (a
// Windows file system does not tell them apart), symbolic links, and a part
// owned by another user.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <unistd.h>

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
    auto list = writeEntryList(dir, "<list><service><name>guard</name></service></list>");
    auto core = makeEntryCore(holm::test::u16(list), handler);
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
    auto list = writeEntryList(dir, "<list><service><name>guard</name></service></list>");
    auto core = makeEntryCore(holm::test::u16(list), handler);
    ASSERT_NE(core, nullptr);

    EXPECT_TRUE(fs::exists(stale / "foreign"));
    EXPECT_FALSE(handler.logged(u"DELETE TEMP FOLDER: <" + holm::test::u16(stale)));
    EXPECT_TRUE(handler.logged(u"TEMP FOLDER NOT REMOVED: <" + holm::test::u16(stale) +
                               u"/> (error 5; 1 part(s) left alone, first: " +
                               holm::test::u16(stale / "foreign") + u")"));
    fs::remove_all(base);
}

}  // namespace
