// The process's file change monitor on Linux (the Windows cases are in
// tests/platform/win/): a watched file moved away, removed or replaced under
// its name is a change; writes to it and other names in its directory are
// not; two descriptors of one file share a watch, which lasts until the last
// lets go.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file_change_monitor.h"
#include "platform/io.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

UniqueFd openForMonitor(const std::filesystem::path& path) {
    io::OpenOptions options;
    options.access = io::Access::ReadWrite;
    options.create = true;
    auto opened = io::open(test::utf8(path), options);
    EXPECT_TRUE(opened.ok()) << opened.error().message();
    return opened ? std::move(*opened) : UniqueFd();
}

// A watched file and what its watch has reported so far.
struct MonitoredFile {
    explicit MonitoredFile(const std::filesystem::path& path) : fd(openForMonitor(path)) {
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

TEST(FileChangeMonitor, MovedOrRemovedIsAChangeWritesAndOtherNamesAreNot) {
    test::TempDir dir;
    MonitoredFile log(dir.path() / "report.log");
    MonitoredFile marker(dir.path() / "marker");
    ASSERT_NE(log.watch, FileChangeMonitor::kNotWatched);
    ASSERT_NE(marker.watch, FileChangeMonitor::kNotWatched);
    EXPECT_NE(log.watch, marker.watch);

    ASSERT_TRUE(io::writeFull(log.fd.get(), "entry\n").ok());
    const auto other = dir.write("report.log.1", "older");
    std::filesystem::rename(other, dir.path() / "report.log.2");
    EXPECT_FALSE(log.changed()) << "a write and another name are no change";
    EXPECT_FALSE(marker.changed());

    std::filesystem::rename(dir.path() / "report.log", dir.path() / "report.log.1");
    EXPECT_TRUE(log.changed());
    EXPECT_FALSE(log.changed()) << "each change is reported once";
    EXPECT_FALSE(marker.changed());

    std::filesystem::remove(dir.path() / "marker");
    EXPECT_TRUE(marker.changed());
}

TEST(FileChangeMonitor, AnotherFileRenamedOverTheNameIsAChange) {
    test::TempDir dir;
    MonitoredFile log(dir.path() / "report.log");
    const auto replacement = dir.write("replacement", "new");
    std::filesystem::rename(replacement, dir.path() / "report.log");
    EXPECT_TRUE(log.changed());
}

TEST(FileChangeMonitor, DescriptorsOfOneFileShareAWatchUntilTheLastLetsGo) {
    test::TempDir dir;
    MonitoredFile first(dir.path() / "shared.log");
    ASSERT_NE(first.watch, FileChangeMonitor::kNotWatched);
    auto& monitor = FileChangeMonitor::process();
    UniqueFd second = openForMonitor(dir.path() / "shared.log");
    const int32_t again = monitor.watch(second.get());
    EXPECT_EQ(again, first.watch);
    monitor.unwatch(again);  // one user left: still watched

    std::filesystem::rename(dir.path() / "shared.log", dir.path() / "shared.log.1");
    EXPECT_TRUE(first.changed());

    uint64_t seen = 0;
    EXPECT_TRUE(monitor.changed(FileChangeMonitor::kNotWatched, seen))
        << "without a watch every call says: look again";
    monitor.unwatch(first.watch);
    EXPECT_TRUE(monitor.changed(first.watch, seen)) << "nor after the last user let go";
    first.watch = FileChangeMonitor::kNotWatched;
}

}  // namespace
}  // namespace holm::platform
