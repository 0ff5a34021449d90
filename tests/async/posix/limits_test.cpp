// Kernel limits reached while registering watches. The limits are lowered in
// a user namespace of the test's own (the machine's limits are shared by
// every process and never exhausted here), so the scenario runs in a child
// process (this program, filtered to AsyncLimitsInChild.Run), which must be
// single-threaded to enter one. Where no user namespace can be made, or its
// limits cannot be set, the test is skipped.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "async/support/async_fixture.h"
#include "common/utf16.h"
#include "platform/errors.h"
#include "platform/process_info.h"
#include "platform/spawn.h"
#include "registry/registry.h"

namespace {

namespace fs = std::filesystem;
namespace reg = holm::registry;
using holm::platform::WinError::kNoSystemResources;
using holm::platform::WinError::kTooManyOpenFiles;

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// Enters a user namespace where this process is root and at most `watches`
// kernel watches and `instances` instances may be held; false (and why on
// standard output) where that cannot be done.
bool enterLimitedNamespace(int watches, int instances) {
    if (::unshare(CLONE_NEWUSER) != 0) {
        std::printf("NO NAMESPACE: %s\n", std::strerror(errno));
        return false;
    }
    if (!writeText("/proc/self/uid_map", "0 0 1\n") ||
        !writeText("/proc/sys/user/max_inotify_watches", std::to_string(watches)) ||
        !writeText("/proc/sys/user/max_inotify_instances", std::to_string(instances))) {
        std::printf("NO LIMITS: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

class AsyncLimitsInChild : public holm::test::AsyncFixture {};

TEST_F(AsyncLimitsInChild, Run) {
    if (std::getenv("HOLM_ASYNC_LIMITS_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as a child of AsyncLimits";
    }
    const fs::path tree = base_.path() / "tree";
    for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
        fs::create_directories(tree / name);
    }
    fs::create_directories(base_.path() / "other");
    const auto store = reg::Store::open(registryDirectory());
    ASSERT_TRUE(store.ok());
    const auto key = reg::Key::create(*store, reg::Root::LocalMachine, u"Watched");
    ASSERT_TRUE(key.ok());
    if (!enterLimitedNamespace(4, 1)) {
        return;
    }
    RecordingHandler handler;
    auto async = makeAsync(&handler);

    // The tree and three of its six directories: registered, logged once.
    const std::u16string treePath = holm::common::utf8ToUtf16(tree.string());
    EXPECT_NE(async->watchDirectory(treePath.c_str(), 1, 0, 1), nullptr);
    const auto lines = gate_.logLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string line = holm::common::utf16ToUtf8(lines[0]);
    EXPECT_NE(line.find(tree.string()), std::string::npos) << line;
    EXPECT_NE(line.find("limit of kernel watches"), std::string::npos) << line;

    // No watch left for another directory; no instance left for the
    // registry worker; no descriptor left for a named event.
    const std::u16string otherPath = holm::common::utf8ToUtf16((base_.path() / "other").string());
    EXPECT_EQ(async->watchDirectory(otherPath.c_str(), 0, 0, 2), nullptr);
    EXPECT_EQ(holm::platform::lastError(), kNoSystemResources);
    EXPECT_EQ(async->watchRegistryKey(static_cast<uint32_t>(reg::Root::LocalMachine), u"Watched", 0,
                                      0, 3),
              nullptr);
    EXPECT_EQ(holm::platform::lastError(), kTooManyOpenFiles);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers' own checks open descriptors: without any left they
    // report faults that are not there.
    rlimit descriptors{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &descriptors), 0);
    rlimit none = descriptors;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    HlmPlg::IAsyncEvent* event = async->watchEvent(u"limited", 4);
    const uint32_t eventError = holm::platform::lastError();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &descriptors), 0);
    EXPECT_EQ(event, nullptr);
    EXPECT_EQ(eventError, kTooManyOpenFiles);
#endif
    std::printf("LIMITS CHECKED\n");
}

// Runs the child scenario `name` and expects it to print `done`; skipped
// where the child could not make its namespace.
void runLimitsChild(const std::string& name, const std::string& done) {
    const auto result = holm::platform::runProcess(
        {holm::platform::executablePath(), "--gtest_filter=AsyncLimitsInChild." + name},
        {"HOLM_ASYNC_LIMITS_CHILD=1"}, std::chrono::seconds(60));
    if (result.output.find("NO NAMESPACE") != std::string::npos ||
        result.output.find("NO LIMITS") != std::string::npos) {
        GTEST_SKIP() << "no user namespace with limits of its own here";
    }
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find(done), std::string::npos) << result.output;
}

TEST(AsyncLimits, EachLimitGivesItsErrorOrLogLine) {
    runLimitsChild("Run", "LIMITS CHECKED");
}

// Without an instance of the kernel's change notifier, a directory watch is
// refused with the limit's error, and so is the next one: nothing is left
// half set up.
TEST_F(AsyncLimitsInChild, NoNotifierInstance) {
    if (std::getenv("HOLM_ASYNC_LIMITS_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as a child of AsyncLimits";
    }
    const fs::path watched = base_.path() / "watched";
    fs::create_directories(watched);
    if (!enterLimitedNamespace(4, 0)) {
        return;
    }
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    const std::u16string path = holm::common::utf8ToUtf16(watched.string());
    for (uintptr_t user : {1, 2}) {
        holm::platform::setLastError(0);
        EXPECT_EQ(async->watchDirectory(path.c_str(), 0, 0, user), nullptr);
        EXPECT_EQ(holm::platform::lastError(), kTooManyOpenFiles);
    }
    std::printf("NO INSTANCE CHECKED\n");
}

TEST(AsyncLimits, NoNotifierInstanceRefusesDirectoryWatches) {
    runLimitsChild("NoNotifierInstance", "NO INSTANCE CHECKED");
}

}  // namespace
