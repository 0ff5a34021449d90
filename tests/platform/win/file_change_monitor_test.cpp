// The process's file change monitor on Windows: each ask looks at the open
// handle itself (a pending delete, the link count, the name it has now).
// Where the system keeps that current when other programs rename or delete
// the file (Windows on local volumes), a watched file moved away, removed or
// replaced is a change at the very next ask; where it does not (Wine 8), no
// file is watched and every ask says "look at the name again".
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_change_monitor.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/manual_event.h"
#include "platform/win/native.h"
#include "platform/win/open_file_state.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

namespace fs = std::filesystem;

UniqueFd openForMonitor(const fs::path& path) {
    io::OpenOptions options;
    options.access = io::Access::ReadWrite;
    options.create = true;
    auto opened = io::open(test::utf8(path), options);
    EXPECT_TRUE(opened.ok()) << opened.error().message();
    return opened ? std::move(*opened) : UniqueFd();
}

// A watched file and what its watch has reported so far.
struct MonitoredFile {
    explicit MonitoredFile(const fs::path& path) : fd(openForMonitor(path)) {
        watch = FileChangeMonitor::process().watch(fd.get());
        (void)FileChangeMonitor::process().changed(watch, seen);
    }
    ~MonitoredFile() { FileChangeMonitor::process().unwatch(watch); }
    MonitoredFile(const MonitoredFile&) = delete;
    MonitoredFile& operator=(const MonitoredFile&) = delete;

    bool changed() { return FileChangeMonitor::process().changed(watch, seen); }

    UniqueFd fd;
    int32_t watch = FileChangeMonitor::kNotWatched;
    uint64_t seen = 0;
};

win::OwnedHandle openWithDelete(const fs::path& path) {
    return win::OwnedHandle(win::nullIfInvalid(
        ::CreateFileW(path.wstring().c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr)));
}

bool renameThrough(HANDLE handle, const fs::path& to) {
    const std::wstring target = to.wstring();
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), info->FileName);
    return ::SetFileInformationByHandle(handle, FileRenameInfo, info,
                                        static_cast<DWORD>(buffer.size()));
}

// Makes the monitor watch whatever the system's rule, for the time of a test.
struct AssumeHandlesFollow {
    AssumeHandlesFollow() { win::assumeOpenHandlesFollowTheirFile(true); }
    ~AssumeHandlesFollow() { win::assumeOpenHandlesFollowTheirFile(std::nullopt); }
    AssumeHandlesFollow(const AssumeHandlesFollow&) = delete;
    AssumeHandlesFollow& operator=(const AssumeHandlesFollow&) = delete;
};

bool endsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// What the check reads: a rename made through the file's own handle shows in
// its name on every system (Wine keeps the name of the handle that renamed),
// and the name is a path on the volume.
TEST(WinOpenFileState, ARenameThroughTheHandleShowsInItsName) {
    test::TempDir dir;
    const auto file = openWithDelete(dir.path() / "report.log");
    ASSERT_TRUE(file) << ::GetLastError();
    const auto before = win::openFileStateOf(file.get());
    ASSERT_TRUE(before);
    EXPECT_FALSE(before->gone);
    EXPECT_TRUE(endsWith(before->name, L"\\report.log")) << test::utf8(fs::path(before->name));
    EXPECT_NE(before->name.substr(0, 2), L"\\\\") << "a path on the volume, no drive";

    ASSERT_TRUE(renameThrough(file.get(), dir.path() / "report.log.1")) << ::GetLastError();
    const auto after = win::openFileStateOf(file.get());
    ASSERT_TRUE(after);
    EXPECT_FALSE(after->gone);
    EXPECT_TRUE(endsWith(after->name, L"\\report.log.1")) << test::utf8(fs::path(after->name));

    EXPECT_FALSE(win::openFileStateOf(nullptr)) << "a handle that is none tells nothing";
}

// The system's rule is found out once, on a file of the process's own that
// is gone again afterwards.
TEST(WinOpenFileState, TheSystemIsAskedOnceAndLeavesNoFileBehind) {
    const bool follows = win::openHandlesFollowTheirFile();
    EXPECT_EQ(win::openHandlesFollowTheirFile(), follows);
    const std::string mine = "holm-handle-check-" + std::to_string(::GetCurrentProcessId()) + "-";
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
        EXPECT_NE(test::utf8(entry.path().filename()).rfind(mine, 0), 0u)
            << test::utf8(entry.path());
    }
}

// Only open disk files of this process are watched, whatever the system's
// rule.
TEST(WinFileChangeMonitor, DescriptorsThatAreNoOpenFileAreNotWatched) {
    AssumeHandlesFollow assume;
    auto& monitor = FileChangeMonitor::process();
    EXPECT_EQ(monitor.watch(-1), FileChangeMonitor::kNotWatched);
    EXPECT_EQ(monitor.watch(1 << 19), FileChangeMonitor::kNotWatched);
    test::TempDir dir;
    auto directory = io::open(test::utf8(dir.path()), {.directory = true});
    ASSERT_TRUE(directory.ok()) << directory.error().message();
    EXPECT_EQ(monitor.watch(directory->get()), FileChangeMonitor::kNotWatched);
    ManualEvent event;
    ASSERT_TRUE(event.valid());
    EXPECT_EQ(monitor.watch(event.descriptor()), FileChangeMonitor::kNotWatched);
}

// The monitor's bookkeeping, on every system: renames are made through the
// watched file's own handle, which every system reports. A change is
// reported once, to each watcher; descriptors of one file share a watch,
// which holds a handle of its own and ends with its last user.
TEST(WinFileChangeMonitor, AChangeTheHandleTellsIsReportedOnceToEachWatcher) {
    AssumeHandlesFollow assume;
    test::TempDir dir;
    win::OwnedHandle opened = openWithDelete(dir.path() / "report.log");
    ASSERT_TRUE(opened) << ::GetLastError();
    const HANDLE handle = opened.get();
    UniqueFd fd(win::adoptHandle(opened.release(), win::HandleKind::File));
    ASSERT_TRUE(fd.valid());
    auto& monitor = FileChangeMonitor::process();
    const int32_t watch = monitor.watch(fd.get());
    ASSERT_NE(watch, FileChangeMonitor::kNotWatched);
    uint64_t first = 0;
    (void)monitor.changed(watch, first);
    EXPECT_FALSE(monitor.changed(watch, first));

    ASSERT_TRUE(io::writeFull(fd.get(), "entry\n").ok());
    const auto other = dir.write("other", "x");
    ASSERT_TRUE(
        ::MoveFileExW(other.wstring().c_str(), (dir.path() / "other.1").wstring().c_str(), 0));
    EXPECT_FALSE(monitor.changed(watch, first)) << "a write and another name are no change";

    MonitoredFile second(dir.path() / "report.log");
    EXPECT_EQ(second.watch, watch) << "one file, one watch";
    EXPECT_FALSE(second.changed());

    ASSERT_TRUE(renameThrough(handle, dir.path() / "report.log.1")) << ::GetLastError();
    EXPECT_TRUE(monitor.changed(watch, first));
    EXPECT_FALSE(monitor.changed(watch, first)) << "each change is reported once";
    EXPECT_TRUE(second.changed()) << "and to each watcher";
    EXPECT_FALSE(second.changed());

    fd.reset();
    UniqueFd reused = openForMonitor(dir.path() / "unrelated");  // may take the number
    EXPECT_FALSE(second.changed()) << "the watch asks a handle of its own";
    monitor.unwatch(watch);
    EXPECT_FALSE(second.changed()) << "still watched for the second user";
    monitor.unwatch(second.watch);
    uint64_t after = 0;
    EXPECT_TRUE(monitor.changed(second.watch, after)) << "after the last user let go: look again";
    second.watch = FileChangeMonitor::kNotWatched;
}

// Where the system does not keep an open handle's name current, nothing is
// watched: every ask says "look again", and a rename is never missed.
TEST(WinFileChangeMonitor, WithoutTheSystemsHelpEveryAskSaysLookAgain) {
    if (win::openHandlesFollowTheirFile()) {
        GTEST_SKIP() << "this system keeps open handles current";
    }
    test::TempDir dir;
    MonitoredFile log(dir.path() / "report.log");
    EXPECT_EQ(log.watch, FileChangeMonitor::kNotWatched);
    EXPECT_TRUE(log.changed());
    EXPECT_TRUE(log.changed());
}

TEST(WinFileChangeMonitor, MovedOrRemovedFromOutsideIsAChangeWritesAndOtherNamesAreNot) {
    if (!win::openHandlesFollowTheirFile()) {
        GTEST_SKIP() << "this system keeps the name a handle was opened by";
    }
    test::TempDir dir;
    MonitoredFile log(dir.path() / "report.log");
    MonitoredFile marker(dir.path() / "marker");
    ASSERT_NE(log.watch, FileChangeMonitor::kNotWatched);
    ASSERT_NE(marker.watch, FileChangeMonitor::kNotWatched);
    EXPECT_NE(log.watch, marker.watch);

    ASSERT_TRUE(io::writeFull(log.fd.get(), "entry\n").ok());
    const auto other = dir.write("report.log.1", "older");
    ASSERT_TRUE(
        ::MoveFileExW(other.wstring().c_str(), (dir.path() / "report.log.2").wstring().c_str(), 0));
    EXPECT_FALSE(log.changed()) << "a write and another name are no change";
    EXPECT_FALSE(marker.changed());

    ASSERT_TRUE(::MoveFileExW((dir.path() / "report.log").wstring().c_str(),
                              (dir.path() / "report.log.1").wstring().c_str(), 0));
    EXPECT_TRUE(log.changed());
    EXPECT_FALSE(log.changed()) << "each change is reported once";
    EXPECT_FALSE(marker.changed());

    ASSERT_TRUE(::DeleteFileW((dir.path() / "marker").wstring().c_str()));
    EXPECT_TRUE(marker.changed()) << "a pending delete is a change while the file is open";
}

TEST(WinFileChangeMonitor, AnotherFileRenamedOverTheNameIsAChangeWhereItIsAllowed) {
    if (!win::openHandlesFollowTheirFile()) {
        GTEST_SKIP() << "this system keeps the name a handle was opened by";
    }
    test::TempDir dir;
    MonitoredFile log(dir.path() / "report.log");
    const auto replacement = dir.write("replacement", "new");
    if (!renameReplacing(test::utf8(replacement), test::utf8(dir.path() / "report.log"))) {
        GTEST_SKIP() << "this system refuses to replace an open file";
    }
    EXPECT_TRUE(log.changed());
}

}  // namespace
}  // namespace holm::platform
