// Named events as FIFOs of the runtime directory: one per watcher and name,
// set from other processes and users, names that must never form a path,
// refusals, and registrations made while the worker's thread ends (through
// the writes of its events).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "async/support/async_fixture.h"
#include "common/utf16.h"
#include "platform/errors.h"
#include "platform/posix/system_calls.h"
#include "platform/spawn.h"
#include "support/io_faults.h"

namespace {

using holm::async::WorkerIndex;
using holm::platform::NamedEventSet;
using holm::test::RecordingHandler;
using Users = std::vector<uintptr_t>;

class FifoEvents : public holm::test::AsyncFixture {};
class FifoCancel : public holm::test::AsyncFixture {};

TEST_F(FifoEvents, NamesDifferingInCaseShareOneFifo) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->watchEvent(u"Scan.Done", 1), nullptr);
    ASSERT_NE(async->watchEvent(u"SCAN.done", 2), nullptr);
    size_t fifos = 0;
    for (const auto& entry : std::filesystem::directory_iterator(runtimeDirectory())) {
        (void)entry;
        ++fifos;
    }
    EXPECT_EQ(fifos, 1u);
}

TEST_F(FifoEvents, SetFromAnotherProcessWithTheTool) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->watchEvent(u"Update/Ready", 5), nullptr);
    const std::vector<std::string> env = {"HOLM_RUNTIME_DIR=" + runtimeDirectory()};
    auto set = holm::platform::runProcess({HOLM_EVENT_TOOL, "set", "Global\\update/READY"}, env,
                                          std::chrono::seconds(10));
    ASSERT_EQ(set.exitCode, 0) << set.output;
    EXPECT_EQ(handler.waitFor(1), Users{5});
    auto unwatched = holm::platform::runProcess({HOLM_EVENT_TOOL, "set", "nobody"}, env,
                                                std::chrono::seconds(10));
    EXPECT_EQ(unwatched.exitCode, 1) << unwatched.output;
}

// The FIFOs in the runtime directory whose names start with `prefix`.
std::vector<std::string> fifosOf(const std::string& directory, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix)) {
            names.push_back(name);
        }
    }
    return names;
}

// Any local user may set an event: the runtime directory is searchable and
// the watcher's FIFO writable (not readable) by others.
TEST_F(FifoEvents, SetByAnotherUserReachesTheWatcher) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the setter as another user";
    }
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->watchEvent(u"Shared.Event", 4), nullptr);
    std::filesystem::permissions(base_.path(), std::filesystem::perms(0755));
    const auto fifos = fifosOf(runtimeDirectory(), "e.");
    ASSERT_EQ(fifos.size(), 1u);
    struct stat info {};
    ASSERT_EQ(::stat((runtimeDirectory() + "/" + fifos[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0622u) << "written by anyone, read by its watcher only";
    ASSERT_EQ(::stat(runtimeDirectory().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);

    holm::platform::SpawnOptions options;
    options.environment = {"HOLM_RUNTIME_DIR=" + runtimeDirectory()};
    options.identity = holm::platform::SpawnIdentity{65534, 65534, {}};
    options.nullStandardStreams = true;
    auto setter = holm::platform::Process::spawn({HOLM_EVENT_TOOL, "set", "shared.event"}, options);
    ASSERT_TRUE(setter) << setter.error().message();
    ASSERT_EQ(setter->wait(holm::platform::io::deadlineIn(std::chrono::seconds(10)))
                  .valueOr(holm::platform::Process::Wait::TimedOut),
              holm::platform::Process::Wait::Exited);
    EXPECT_EQ(setter->exitStatus()->code, 0);
    EXPECT_EQ(handler.waitFor(1), Users{4});
}

// Every watcher has its own FIFO: each set reaches every watching process,
// a watcher that ends removes its FIFO, and one that died leaves none behind
// once a set met it.
TEST_F(FifoEvents, EveryWatchingProcessSeesEachSetAndNoFifoOfAGoneWatcherStays) {
    const std::vector<std::string> env = {"HOLM_RUNTIME_DIR=" + runtimeDirectory()};
    auto other = holm::platform::ChildProcess::start({HOLM_EVENT_TOOL, "wait", "Both", "2"}, env);
    ASSERT_TRUE(other);
    ASSERT_TRUE(other->waitForOutput("watching", std::chrono::seconds(10))) << other->output();
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    HlmPlg::IAsyncEvent* element = async->watchEvent(u"both", 1);
    ASSERT_NE(element, nullptr);
    auto dying = holm::platform::ChildProcess::start({HOLM_EVENT_TOOL, "wait", "Both"}, env);
    ASSERT_TRUE(dying);
    ASSERT_TRUE(dying->waitForOutput("watching", std::chrono::seconds(10))) << dying->output();
    ASSERT_TRUE(dying->sendSignal(holm::platform::ChildSignal::Terminate));
    ASSERT_TRUE(dying->wait(std::chrono::seconds(10)));  // ended without removing its FIFO
    const std::string prefix = holm::platform::namedEventFileName(u"both") + ".";
    EXPECT_EQ(fifosOf(runtimeDirectory(), prefix).size(), 3u);

    ASSERT_EQ(setEvent(u"BOTH"), NamedEventSet::Set);
    ASSERT_EQ(handler.waitFor(1), Users{1});
    EXPECT_EQ(fifosOf(runtimeDirectory(), prefix).size(), 2u) << "the dead watcher's is gone";
    ASSERT_TRUE(other->waitForOutput("set", std::chrono::seconds(10)));
    ASSERT_EQ(setEvent(u"both"), NamedEventSet::Set);
    EXPECT_EQ(handler.waitFor(2), (Users{1, 1}));
    EXPECT_EQ(other->wait(std::chrono::seconds(10)), 0) << other->output();
    EXPECT_EQ(fifosOf(runtimeDirectory(), prefix).size(), 1u) << "an ended watcher removes its own";

    async->cancel(element);
    EXPECT_TRUE(fifosOf(runtimeDirectory(), "").empty());
    EXPECT_EQ(setEvent(u"both"), NamedEventSet::NoWatcher);
}

TEST_F(FifoEvents, HostileNames) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    EXPECT_EQ(async->watchEvent(std::u16string(10000, u'x').c_str(), 1), nullptr);
    EXPECT_EQ(async->watchEvent(std::u16string(121, u'x').c_str(), 1), nullptr);
    EXPECT_EQ(async->watchEvent(u"", 1), nullptr);
    EXPECT_EQ(async->watchEvent(nullptr, 1), nullptr);
    ASSERT_NE(async->watchEvent(std::u16string(120, u'%').c_str(), 2), nullptr)
        << "long escaped forms are hashed";
    ASSERT_NE(async->watchEvent(u"../../etc/passwd", 3), nullptr);
    ASSERT_NE(async->watchEvent(u"tab\there\nnewline", 4), nullptr);
    for (const auto& entry : std::filesystem::directory_iterator(runtimeDirectory())) {
        EXPECT_EQ(entry.path().filename().string().find('/'), std::string::npos);
        EXPECT_TRUE(entry.is_fifo()) << entry.path();
    }
    ASSERT_EQ(setEvent(u"../../ETC/passwd"), NamedEventSet::Set);
    ASSERT_EQ(setEvent(u"tab\there\nnewline"), NamedEventSet::Set);
    ASSERT_EQ(setEvent(std::u16string(120, u'%')), NamedEventSet::Set);
    auto users = handler.waitFor(3);
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, (Users{2, 3, 4}));
}

// A watch the system refuses reaches the plugin as the thread's last error;
// a request that names nothing to watch leaves the last error alone.
TEST_F(FifoEvents, ARefusedWatchHandsItsCauseToThePluginAsTheLastError) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    holm::platform::setLastError(12345);
    EXPECT_EQ(async->watchEvent(u"", 1), nullptr);
    EXPECT_EQ(async->fireAfterNSec(-1, 1), nullptr);
    EXPECT_EQ(async->watchDirectory(u"/no/such/directory", 0, 0, 1), nullptr);
    EXPECT_EQ(holm::platform::lastError(), 12345u);
    {
        holm::test::InjectedFaults faults;
        faults.failOpen(EMFILE, runtimeDirectory());
        EXPECT_EQ(async->watchEvent(u"refused", 2), nullptr);
        EXPECT_EQ(holm::platform::lastError(), holm::platform::WinError::kTooManyOpenFiles);
    }
    EXPECT_EQ(dispatcher_->elementCount(WorkerIndex::Event), 0u);
    ASSERT_NE(async->watchEvent(u"refused", 3), nullptr);
    ASSERT_EQ(setEvent(u"refused"), NamedEventSet::Set);
    EXPECT_EQ(handler.waitFor(1), Users{3});
}

// Every event write the cancelling thread makes (the wake of the removal,
// the stop of the worker's thread) starts a registration on another thread
// from inside the write, so registrations land while the thread ends.
std::atomic<std::thread::id> gRegisterOnWritesOf;
std::function<void()> gRegisterNow;

const holm::platform::io::SystemCalls& registeringWrites() {
    namespace io = holm::platform::io;
    static const io::SystemCalls calls{
        io::realSystemCalls().openat,
        io::realSystemCalls().read,
        io::realSystemCalls().pread,
        [](int fd, const void* buffer, size_t size) -> ssize_t {
            if (gRegisterOnWritesOf.load() == std::this_thread::get_id()) {
                gRegisterNow();
            }
            return io::realSystemCalls().write(fd, buffer, size);
        },
        io::realSystemCalls().fsync,
        io::realSystemCalls().renameat2,
        io::realSystemCalls().mkdirat,
        io::realSystemCalls().unlinkat,
    };
    return calls;
}

TEST_F(FifoCancel, RegistrationWhileTheThreadEndsIsServed) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    HlmPlg::IAsyncEvent* last = async->watchEvent(u"last", 1);
    ASSERT_NE(last, nullptr);
    std::vector<std::thread> registering;
    std::atomic<int> registered{0};
    gRegisterNow = [&] {
        const uintptr_t user = 10 + registering.size();
        registering.emplace_back([&, user] {
            const std::u16string name = u"late-" + holm::common::utf8ToUtf16(std::to_string(user));
            if (async->watchEvent(name.c_str(), user) != nullptr) {
                ++registered;
            }
        });
    };
    {
        holm::platform::io::ScopedSystemCalls hooked(registeringWrites());
        gRegisterOnWritesOf = std::this_thread::get_id();
        async->cancel(last);
        gRegisterOnWritesOf = std::thread::id();
    }
    for (std::thread& thread : registering) {
        thread.join();
    }
    ASSERT_FALSE(registering.empty());
    ASSERT_EQ(registered.load(), static_cast<int>(registering.size()));
    Users expected;
    for (size_t i = 0; i < registering.size(); ++i) {
        const uintptr_t user = 10 + i;
        expected.push_back(user);
        ASSERT_EQ(setEvent(u"late-" + holm::common::utf8ToUtf16(std::to_string(user))),
                  NamedEventSet::Set);
    }
    auto users = handler.waitFor(expected.size());
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, expected);
}

}  // namespace
