// Directory watches where the kernel's limits and links are in play: no
// descriptor left for the notifier, and paths that vanish, turn into files
// or loop through a symbolic link.
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/resource.h>

#include "async/support/watch_fixture.h"
#include "platform/errors.h"

namespace {

namespace fs = std::filesystem;
using holm::test::has;
using holm::test::RecordingHandler;
using holm::test::Watches;
using holm::test::writeFile;

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Without a descriptor left for the kernel's notifier, the first directory
// watch is refused and the plugin's last error names the limit; with
// descriptors back, the next registration succeeds. (The sanitizers' own
// checks open descriptors: without any left they report faults that are
// not there.)
TEST_F(Watches, NoDescriptorForTheNotifierRefusesWithTheLimitAsLastError) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    rlimit descriptors{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &descriptors), 0);
    rlimit none = descriptors;
    none.rlim_cur = 0;
    holm::platform::setLastError(0);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    HlmPlg::IAsyncEvent* refused = watchDirectory(*async, watched(), false, 1);
    const uint32_t error = holm::platform::lastError();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &descriptors), 0);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(error, holm::platform::WinError::kTooManyOpenFiles);
    EXPECT_NE(watchDirectory(*async, watched(), false, 2), nullptr);
}
#endif

TEST_F(Watches, VanishedReplacedAndLoopingPathsLeaveTheOthersServed) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    fs::create_directories(watched() / "gone");
    fs::create_directories(watched() / "tree" / "inner");
    fs::create_directory_symlink(watched() / "tree", watched() / "tree" / "inner" / "loop");
    ASSERT_NE(watchDirectory(*async, watched() / "gone", true, 1), nullptr);
    ASSERT_NE(watchDirectory(*async, watched() / "tree", true, 2), nullptr)
        << "a link loop below a subtree ends the walk";
    ASSERT_NE(watchDirectory(*async, sentinel(), false, 9), nullptr);

    fs::remove_all(watched() / "gone");
    writeFile(watched() / "gone", "a file now");
    ASSERT_TRUE(sync(handler, 9, 1));
    writeFile(watched() / "tree" / "inner" / "loop" / "through-the-link");
    ASSERT_TRUE(handler.waitUntil([](const Users& users) { return has(users, 2); }));
    ASSERT_TRUE(sync(handler, 9, 2));
    EXPECT_EQ(dispatcher_->directoryWorker().incompleteKeyCount(), 1u)
        << "the vanished directory waits for a retry";
}

}  // namespace
