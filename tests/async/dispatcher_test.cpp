// The dispatcher: the time worker's tick and periodic elements (on a manual
// clock), named events, cancellation from every thread, delivery rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "async/support/async_fixture.h"
#include "common/utf16.h"
#include "platform/errors.h"
#include "platform/posix/system_calls.h"
#include "platform/signals.h"
#include "platform/spawn.h"
#include "support/io_faults.h"

namespace {

using holm::async::WorkerIndex;
using holm::platform::NamedEventSet;
using holm::test::RecordingHandler;
using Users = std::vector<uintptr_t>;

class AsyncTime : public holm::test::AsyncFixture {};
class AsyncEvent : public holm::test::AsyncFixture {};
class AsyncCancel : public holm::test::AsyncFixture {};

TEST_F(AsyncTime, FireNowDeliversOnceThenTheElementIsGone) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    HlmPlg::IAsyncEvent* element = async->fireNow(7);
    ASSERT_NE(element, nullptr);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), Users{7});
    EXPECT_FALSE(dispatcher_->lifetimes().isLive(element)) << "destroyed after its delivery";
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), Users{7});
    async->cancel(element);  // a dangling fireNow pointer is ignored
}

TEST_F(AsyncTime, PeriodicElementFiresOnlyAfterMoreThanItsSeconds) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->fireAfterNSec(10, 1), nullptr);
    EXPECT_EQ(async->fireAfterNSec(-1, 2), nullptr);
    clock_->advance(10);
    ASSERT_TRUE(clock_->tick());
    EXPECT_TRUE(handler.users().empty()) << "10 seconds are not more than 10";
    clock_->advance(1);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users().size(), 1u);
    clock_->advance(10);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users().size(), 1u) << "measured from the end of the previous delivery";
    clock_->advance(1);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users().size(), 2u);
}

TEST_F(AsyncTime, ThrowingCallbackIsReportedAndTheNextIsDelivered) {
    RecordingHandler handler;
    bool thrown = false;
    handler.onEvent = [&](HlmPlg::IAsyncEvent*) {
        if (!std::exchange(thrown, true)) {
            throw std::runtime_error("callback failed");
        }
    };
    auto async = makeAsync(&handler);
    async->fireNow(1);
    ASSERT_TRUE(clock_->tick());
    const auto reports = gate_.waitForReports(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], u"IAsyncHandler::onAsyncEvent: callback failed");
    async->fireNow(2);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(handler.users(), Users{2});
}

TEST_F(AsyncTime, DeliveryWithoutHandlerIsDropped) {
    auto async = makeAsync(nullptr);
    async->fireNow(1);
    ASSERT_TRUE(clock_->tick());
    EXPECT_TRUE(gate_.waitForReports(0).empty());
}

TEST_F(AsyncEvent, NamesDifferingInCaseShareOneWatch) {
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
    ASSERT_EQ(setEvent(u"scan.DONE"), NamedEventSet::Set);
    EXPECT_EQ(handler.waitFor(2), (Users{1, 2}));
}

TEST_F(AsyncEvent, SetFromAnotherProcessWithTheTool) {
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
TEST_F(AsyncEvent, SetByAnotherUserReachesTheWatcher) {
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
TEST_F(AsyncEvent, EveryWatchingProcessSeesEachSetAndNoFifoOfAGoneWatcherStays) {
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

TEST_F(AsyncEvent, HostileNames) {
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
TEST_F(AsyncEvent, ARefusedWatchHandsItsCauseToThePluginAsTheLastError) {
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

TEST_F(AsyncEvent, TenThousandEventsOnOneWorker) {
    holm::platform::raiseOpenFileLimit();
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    constexpr int kCount = 10000;
    for (int i = 0; i < kCount; ++i) {
        const std::u16string name = u"event-" + holm::common::utf8ToUtf16(std::to_string(i));
        if (async->watchEvent(name.c_str(), static_cast<uintptr_t>(i)) == nullptr) {
            GTEST_SKIP() << "descriptor limit reached at " << i;
        }
    }
    ASSERT_EQ(setEvent(u"event-9999"), NamedEventSet::Set);
    ASSERT_EQ(setEvent(u"event-0"), NamedEventSet::Set);
    auto users = handler.waitFor(2);
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, (Users{0, 9999}));
}

TEST_F(AsyncCancel, LastElementStopsTheWorkerAndANewOneStartsIt) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    HlmPlg::IAsyncEvent* first = async->watchEvent(u"a", 1);
    HlmPlg::IAsyncEvent* second = async->watchEvent(u"b", 2);
    EXPECT_TRUE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    async->cancel(first);
    EXPECT_TRUE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    async->cancel(second);
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    EXPECT_EQ(setEvent(u"a"), NamedEventSet::NoWatcher) << "the watch was closed";
    async->cancel(second);  // twice: ignored
    ASSERT_NE(async->watchEvent(u"a", 3), nullptr);
    EXPECT_TRUE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    ASSERT_EQ(setEvent(u"A"), NamedEventSet::Set);
    EXPECT_EQ(handler.waitFor(1), Users{3});
}

TEST_F(AsyncCancel, ReleasingOneAsyncLeavesAnotherFiring) {
    RecordingHandler gone, kept;
    auto released = makeAsync(&gone);
    auto other = makeAsync(&kept);
    released->watchEvent(u"shared", 1);
    released->fireAfterNSec(1, 2);
    other->watchEvent(u"shared", 3);
    released.reset();
    EXPECT_EQ(dispatcher_->elementCount(WorkerIndex::Time), 0u);
    EXPECT_EQ(dispatcher_->elementCount(WorkerIndex::Event), 1u);
    ASSERT_EQ(setEvent(u"shared"), NamedEventSet::Set);
    EXPECT_EQ(kept.waitFor(1), Users{3});
    EXPECT_TRUE(gone.users().empty());
}

TEST_F(AsyncCancel, AfterStopAllNothingIsDelivered) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    async->watchEvent(u"stopped", 1);
    async->fireNow(2);
    dispatcher_->stopAll();
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Event));
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Time));
    EXPECT_NE(async->fireNow(3), nullptr) << "registrations are still accepted";
    EXPECT_FALSE(dispatcher_->workerThreadRunning(WorkerIndex::Time)) << "and not restarted";
    EXPECT_TRUE(handler.users().empty());
}

TEST_F(AsyncCancel, ANewRunAfterStopAllDeliversAsTheFirst) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->fireNow(1), nullptr);
    ASSERT_TRUE(clock_->tick());
    ASSERT_EQ(handler.users(), Users{1});
    dispatcher_->stopAll();
    ASSERT_NE(async->fireNow(2), nullptr);
    dispatcher_->resumeAll();
    EXPECT_TRUE(dispatcher_->workerThreadRunning(WorkerIndex::Time))
        << "an element left waiting starts the thread";
    ASSERT_TRUE(clock_->tick());
    ASSERT_NE(async->watchEvent(u"second-run", 3), nullptr);
    ASSERT_EQ(setEvent(u"second-run"), NamedEventSet::Set);
    EXPECT_EQ(handler.waitFor(3), (Users{1, 2, 3}));
}

// Elements are cancelled only by the plugin that registered them (through
// any of its IAsync objects): another plugin's pointer, such as a stale one
// whose address a new element reused, is ignored.
TEST_F(AsyncCancel, CancelActsOnlyOnTheCallingPluginsElements) {
    RecordingHandler firstHandler, secondHandler;
    auto first = makeAsync(&firstHandler);
    auto firstAgain = makeAsync(&firstHandler);
    auto second = makeAsync(&secondHandler);
    int pluginA = 0, pluginB = 0;
    first->m_owner = reinterpret_cast<HlmPlg::CHlmPlg*>(&pluginA);
    firstAgain->m_owner = reinterpret_cast<HlmPlg::CHlmPlg*>(&pluginA);
    second->m_owner = reinterpret_cast<HlmPlg::CHlmPlg*>(&pluginB);
    HlmPlg::IAsyncEvent* timer = second->fireAfterNSec(1, 20);
    HlmPlg::IAsyncEvent* own = first->fireAfterNSec(1, 10);
    ASSERT_NE(timer, nullptr);
    ASSERT_NE(own, nullptr);
    first->cancel(timer);
    EXPECT_TRUE(dispatcher_->lifetimes().isLive(timer));
    firstAgain->cancel(own);
    EXPECT_FALSE(dispatcher_->lifetimes().isLive(own)) << "the same plugin's other IAsync";
    clock_->advance(2);
    ASSERT_TRUE(clock_->tick());
    EXPECT_EQ(secondHandler.users(), Users{20});
    EXPECT_TRUE(firstHandler.users().empty());
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

TEST_F(AsyncCancel, RegistrationWhileTheThreadEndsIsServed) {
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

// A callback of element Y cancels element X of the same IAsync while X's
// delivery, on another worker, waits for the delivery lock Y's callback
// holds. A cancel that waited for X's delivery would deadlock.
TEST_F(AsyncCancel, CancelFromAnotherCallbackIsDeferred) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    HlmPlg::IAsyncEvent* x = async->watchEvent(u"x", 1);
    bool xInFlight = false;
    handler.onEvent = [&](HlmPlg::IAsyncEvent* event) {
        if (event->getUserValue() != 2) {
            return;
        }
        ASSERT_EQ(setEvent(u"x"), NamedEventSet::Set);
        // Y's own delivery and X's, waiting for the lock.
        xInFlight = dispatcher_->lifetimes().waitForDeliveriesInFlight(
            2, std::chrono::steady_clock::now() + std::chrono::seconds(10));
        async->cancel(x);
    };
    async->fireNow(2);  // Y
    ASSERT_TRUE(clock_->tick());
    EXPECT_TRUE(xInFlight);
    EXPECT_EQ(handler.waitFor(2), (Users{2, 1})) << "X's delivery in progress still ends";
    handler.onEvent = nullptr;
    EXPECT_EQ(dispatcher_->elementCount(WorkerIndex::Event), 0u);
    EXPECT_EQ(setEvent(u"x"), NamedEventSet::NoWatcher);
}

TEST_F(AsyncCancel, CancelOwnElementFromItsCallback) {
    RecordingHandler first, second;
    auto async = makeAsync(&first);
    auto witness = makeAsync(&second);
    first.onEvent = [&](HlmPlg::IAsyncEvent* event) { async->cancel(event); };
    HlmPlg::IAsyncEvent* self = async->watchEvent(u"once", 1);
    witness->watchEvent(u"once", 2);  // delivered after `self`, in list order
    ASSERT_EQ(setEvent(u"once"), NamedEventSet::Set);
    ASSERT_EQ(second.waitFor(1).size(), 1u);
    ASSERT_EQ(setEvent(u"once"), NamedEventSet::Set);
    ASSERT_EQ(second.waitFor(2).size(), 2u);
    EXPECT_EQ(first.users(), Users{1});
    EXPECT_FALSE(dispatcher_->lifetimes().isLive(self));
}

TEST_F(AsyncCancel, HandlerChangesFromInsideACallback) {
    RecordingHandler first, second;
    auto async = makeAsync(&first);
    first.onEvent = [&](HlmPlg::IAsyncEvent*) {
        EXPECT_TRUE(async->unregisterHandler(&first));
        EXPECT_TRUE(async->registerHandler(&second));
    };
    async->watchEvent(u"swap", 1);
    ASSERT_EQ(setEvent(u"swap"), NamedEventSet::Set);
    ASSERT_EQ(first.waitFor(1).size(), 1u);
    ASSERT_EQ(setEvent(u"swap"), NamedEventSet::Set);
    EXPECT_EQ(second.waitFor(1), Users{1});
}

TEST_F(AsyncCancel, AsyncReleasedFromItsOwnCallback) {
    RecordingHandler doomed, witness;
    auto released = makeAsync(&doomed);
    auto other = makeAsync(&witness);
    HlmPlg::IAsync* raw = released.release();
    doomed.onEvent = [&](HlmPlg::IAsyncEvent*) { delete raw; };
    raw->watchEvent(u"bye", 1);
    other->watchEvent(u"bye", 2);
    ASSERT_EQ(setEvent(u"bye"), NamedEventSet::Set);
    ASSERT_EQ(witness.waitFor(1).size(), 1u);
    ASSERT_EQ(setEvent(u"bye"), NamedEventSet::Set);
    ASSERT_EQ(witness.waitFor(2).size(), 2u) << "the worker serves the others on";
    EXPECT_EQ(doomed.users(), Users{1});
}

TEST_F(AsyncCancel, BlockedCallbackDelaysOnlyItsOwnWorker) {
    RecordingHandler blocked, events;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    blocked.onEvent = [&](HlmPlg::IAsyncEvent*) { released.wait(); };
    auto slow = makeAsync(&blocked);
    auto fast = makeAsync(&events);
    slow->fireNow(1);
    fast->watchEvent(u"meanwhile", 2);
    auto ticking = std::async(std::launch::async, [&] { return clock_->tick(); });
    ASSERT_EQ(setEvent(u"meanwhile"), NamedEventSet::Set);
    EXPECT_EQ(events.waitFor(1), Users{2});
    release.set_value();
    EXPECT_TRUE(ticking.get());
    EXPECT_EQ(blocked.users(), Users{1});
}

}  // namespace
