// Leftover temporary folders on Windows: those of earlier instances go, the
// folder of a live instance and names of another shape stay, and a folder
// that holds a file another program keeps open without delete sharing is
// reported, not taken for deleted. (Names that differ only in case cannot
// both exist here, and Wine makes no links: tests/core/posix/.)
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/utf16.h"
#include "core/support/core_entry.h"
#include "core/support/host_harness.h"
#include "platform/file_lock.h"
#include "support/test_support.h"

namespace {

using holm::test::makeEntryCore;
using holm::test::RecordingHandler;
using holm::test::writeEntryList;
namespace fs = std::filesystem;

std::string temporaryBase() {
    return holm::test::testDataDirectory() + "TEMP/";
}

// Whether a log line holds both texts (the folder's path is spelt the way
// the core normalises it; its name is enough to tell it).
bool loggedWith(const RecordingHandler& handler, const std::u16string& text,
                const std::u16string& other) {
    for (const auto& line : handler.logLines()) {
        if (line.find(text) != std::u16string::npos && line.find(other) != std::u16string::npos) {
            return true;
        }
    }
    return false;
}

TEST(WinCoreEntry, StaleTemporaryFoldersAreRemovedSafely) {
    const std::string base = temporaryBase();
    const fs::path basePath = holm::test::pathOfUtf8(base);
    fs::create_directories(basePath);
    const fs::path stale = basePath / "CORE_TESTS_0000abcd";
    const fs::path deep = basePath / "CORE_TESTS_0000dddd";
    const fs::path live = basePath / "CORE_TESTS_1234abcd";
    const fs::path shortName = basePath / "CORE_TESTS_abc";
    fs::create_directories(stale / "nested");
    std::ofstream(stale / "nested" / "file") << "x";
    // As deep as a path of the system's usual length limit allows.
    fs::path bottom = deep;
    for (int level = 0; level < 40; ++level) {
        bottom /= "d";
    }
    fs::create_directories(bottom);
    std::ofstream(bottom / "file") << "x";
    fs::create_directories(live);
    fs::create_directories(shortName);
    std::optional<holm::platform::FileLock> liveLock;
    {
        auto acquired =
            holm::platform::FileLock::acquire(base + "CORE_TESTS_1234abcd/.holm-instance.lock");
        ASSERT_TRUE(acquired.ok());
        liveLock.emplace(std::move(*acquired));
    }

    holm::test::TempDir dir;
    RecordingHandler handler;
    auto list = writeEntryList(dir, "<list><service><name>guard</name></service></list>");
    auto core = makeEntryCore(holm::test::u16(list), handler);
    ASSERT_NE(core, nullptr);

    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(loggedWith(handler, u"DELETE TEMP FOLDER: <", u"CORE_TESTS_0000abcd/>"));
    EXPECT_FALSE(fs::exists(deep));
    EXPECT_TRUE(loggedWith(handler, u"DELETE TEMP FOLDER: <", u"CORE_TESTS_0000dddd/>"));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_FALSE(handler.logged(u"CORE_TESTS_1234abcd"));
    EXPECT_TRUE(fs::exists(shortName));
    core.reset();
    liveLock.reset();
    fs::remove_all(basePath);
}

// A file held open without delete sharing cannot be removed: the folder
// stays, with the system's reason (sharing violation, 32), and is not
// reported as deleted. Nothing was left alone on purpose (no part belongs
// to another owner), so no part is named.
TEST(WinCoreEntry, TemporaryFolderNotRemovedCompletelyIsReportedNotDeleted) {
    const std::string base = temporaryBase();
    const fs::path stale = holm::test::pathOfUtf8(base) / "CORE_TESTS_0000eeee";
    fs::create_directories(stale);
    std::ofstream(stale / "held") << "x";
    HANDLE held = ::CreateFileW((stale / "held").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    holm::test::TempDir dir;
    RecordingHandler handler;
    auto list = writeEntryList(dir, "<list><service><name>guard</name></service></list>");
    auto core = makeEntryCore(holm::test::u16(list), handler);
    ASSERT_NE(core, nullptr);
    ::CloseHandle(held);

    EXPECT_TRUE(fs::exists(stale / "held"));
    EXPECT_FALSE(loggedWith(handler, u"DELETE TEMP FOLDER: <", u"CORE_TESTS_0000eeee"));
    EXPECT_TRUE(loggedWith(handler, u"TEMP FOLDER NOT REMOVED: <",
                           u"CORE_TESTS_0000eeee/> (error 32; 0 part(s) left alone)"));
    core.reset();
    fs::remove_all(stale);
}

}  // namespace
