// Directory change notification over the system's change reads: entries
// made, written, renamed and removed, a directory that appears, one
// directory watched by two paths, and watches that end.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/change_notifier.h"
#include "platform/io.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

// Reads events until `done` holds for what was read (at most 30 s).
template <class Done>
std::vector<ChangeEvent> readUntil(ChangeNotifier& notifier, Done done) {
    std::vector<ChangeEvent> events;
    const auto deadline = io::deadlineIn(std::chrono::seconds(30));
    while (!done(events) && std::chrono::steady_clock::now() < deadline) {
        if (!io::waitReadable(notifier.descriptor(), deadline).valueOr(false)) {
            break;
        }
        EXPECT_TRUE(notifier.read(events).ok());
    }
    return events;
}

bool sawName(const std::vector<ChangeEvent>& events, int watch, const std::string& name,
             uint32_t what = kChangeEntry) {
    for (const ChangeEvent& event : events) {
        if (event.watch == watch && event.name == name && (event.what & what) == what) {
            return true;
        }
    }
    return false;
}

TEST(WinChangeNotifier, ReportsEntriesOfTheWatchedDirectoryAndNewDirectories) {
    test::TempDir dir;
    auto notifier = ChangeNotifier::open();
    ASSERT_TRUE(notifier.ok()) << notifier.error().message();
    const std::string path = test::utf8(dir.path());
    auto watch = notifier->watch(path, false);
    ASSERT_TRUE(watch.ok()) << watch.error().message();
    auto again = notifier->watch(path + "/.", true);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *watch) << "one directory, one watch";

    std::ofstream(dir.path() / "file.txt") << "x";
    std::ofstream(dir.path() / "f") << "one letter: a record shorter than the structure";
    std::filesystem::create_directory(dir.path() / "sub");
    std::filesystem::rename(dir.path() / "file.txt", dir.path() / "moved.txt");
    auto events = readUntil(*notifier, [&](const auto& seen) {
        return sawName(seen, *watch, "moved.txt") && sawName(seen, *watch, "f") &&
               sawName(seen, *watch, "sub", kChangeDirectoryAdded);
    });
    EXPECT_TRUE(sawName(events, *watch, "file.txt"));
    EXPECT_TRUE(sawName(events, *watch, "sub", kChangeEntry | kChangeDirectoryAdded));
    EXPECT_FALSE(sawName(events, *watch, "moved.txt", kChangeDirectoryAdded));

    // A watch of the new directory reports what happens in it, and only
    // there.
    auto sub = notifier->watch(path + "/sub", false);
    ASSERT_TRUE(sub.ok());
    EXPECT_NE(*sub, *watch);
    std::ofstream(dir.path() / "sub" / "deep") << "y";
    events = readUntil(*notifier, [&](const auto& seen) { return sawName(seen, *sub, "deep"); });
    EXPECT_TRUE(sawName(events, *sub, "deep"));
    EXPECT_FALSE(sawName(events, *watch, "deep"));

    // After unwatch nothing more is reported for it.
    notifier->unwatch(*sub);
    std::ofstream(dir.path() / "sub" / "later") << "z";
    std::ofstream(dir.path() / "marker") << "m";
    events =
        readUntil(*notifier, [&](const auto& seen) { return sawName(seen, *watch, "marker"); });
    EXPECT_FALSE(sawName(events, *sub, "later"));
}

TEST(WinChangeNotifier, RefusesWhatIsNoDirectory) {
    test::TempDir dir;
    auto notifier = ChangeNotifier::open();
    ASSERT_TRUE(notifier.ok());
    EXPECT_EQ(notifier->watch(test::utf8(dir.path() / "missing"), false).error().errnoValue(),
              ENOENT);
    std::ofstream(dir.path() / "file") << "x";
    EXPECT_EQ(notifier->watch(test::utf8(dir.path() / "file"), false).error().errnoValue(),
              ENOTDIR);
}

}  // namespace
}  // namespace holm::platform
