// IThread: synchronous start and stop, stop from its own body, failing
// bodies, and the per-thread text buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "async/support/recording_gate.h"
#include "async/thread_impl.h"
#include "async/thread_safe_buffer.h"

namespace {

using holm::async::CThreadImpl;
using holm::test::RecordingGate;

// A body that waits for the stop event and notes what it saw.
class WaitingBody : public HlmPlg::IThreadHandler {
  public:
    const char16_t* getThreadName() override { return u"Waiter"; }
    uint32_t run(HlmPlg::IStopEvent* stop) override {
        ++runs;
        ran.store(true);
        stop->wait(HlmPlg::kWaitInfinite);
        sawStop.store(stop->isSet());
        returned.store(true);
        return 0;
    }
    std::atomic<int> runs{0};
    std::atomic<bool> ran{false}, sawStop{false}, returned{false};
};

TEST(Thread, StartIsSynchronousAndRefusesWhileHeld) {
    RecordingGate gate;
    CThreadImpl thread(gate);
    WaitingBody body;
    EXPECT_FALSE(thread.start(0)) << "no handler";
    ASSERT_TRUE(thread.registerHandler(&body));
    ASSERT_TRUE(thread.start(0));
    EXPECT_NE(thread.getThreadId(), 0u);
    EXPECT_NE(thread.getThreadHandle(), nullptr);
    EXPECT_FALSE(thread.start(0)) << "a thread is held";
    ASSERT_TRUE(thread.stop());
    EXPECT_TRUE(body.returned.load()) << "stop returns only after run returned";
    EXPECT_TRUE(body.sawStop.load());
    EXPECT_EQ(thread.getThreadId(), 0u);
    EXPECT_EQ(thread.getThreadHandle(), nullptr);
    EXPECT_FALSE(thread.stop()) << "no thread";
    ASSERT_TRUE(thread.start(0)) << "the events are reused";
    ASSERT_TRUE(thread.stop());
    EXPECT_EQ(body.runs.load(), 2);
}

class ReturningBody : public HlmPlg::IThreadHandler {
  public:
    const char16_t* getThreadName() override { return u"Quick"; }
    uint32_t run(HlmPlg::IStopEvent*) override {
        done.set_value();
        return 7;
    }
    std::promise<void> done;
};

TEST(Thread, EndedBodyStaysHeldUntilStop) {
    RecordingGate gate;
    CThreadImpl thread(gate);
    ReturningBody body;
    thread.registerHandler(&body);
    ASSERT_TRUE(thread.start(0));
    body.done.get_future().wait();
    EXPECT_FALSE(thread.start(0));
    EXPECT_TRUE(thread.stop());
}

TEST(Thread, HandlerRegistration) {
    RecordingGate gate;
    CThreadImpl thread(gate);
    WaitingBody body, other;
    struct NotAThreadHandler : HlmPlg::IHandler {
    } plain;
    EXPECT_FALSE(thread.registerHandler(&plain));
    ASSERT_TRUE(thread.registerHandler(&body));
    EXPECT_TRUE(thread.unregisterHandler(&other)) << "clears whichever thread handler it is given";
    EXPECT_FALSE(thread.start(0));
}

// Stops (and then releases) its own thread from inside run.
class SelfStoppingBody : public HlmPlg::IThreadHandler {
  public:
    const char16_t* getThreadName() override { return u"Self"; }
    uint32_t run(HlmPlg::IStopEvent*) override {
        stopResult.set_value(thread->stop());
        if (deleteSelf) {
            delete thread;
            deleted.set_value();
        }
        return 0;
    }
    HlmPlg::IThread* thread = nullptr;
    bool deleteSelf = false;
    std::promise<bool> stopResult;
    std::promise<void> deleted;
};

TEST(Thread, StopFromOwnRunReturnsFalse) {
    RecordingGate gate;
    CThreadImpl thread(gate);
    SelfStoppingBody body;
    body.thread = &thread;
    thread.registerHandler(&body);
    ASSERT_TRUE(thread.start(0));
    EXPECT_FALSE(body.stopResult.get_future().get());
    EXPECT_TRUE(thread.stop());
}

TEST(Thread, ReleasedFromItsOwnRun) {
    static RecordingGate gate;  // outlives the detached thread's last steps
    auto* thread = new CThreadImpl(gate);
    SelfStoppingBody body;
    body.thread = thread;
    body.deleteSelf = true;
    thread->registerHandler(&body);
    ASSERT_TRUE(thread->start(0));
    body.deleted.get_future().wait();  // the detached thread ends on its own
}

class ThrowingBody : public HlmPlg::IThreadHandler {
  public:
    const char16_t* getThreadName() override { return u"Thrower"; }
    uint32_t run(HlmPlg::IStopEvent*) override { throw std::runtime_error("body failed"); }
};

TEST(Thread, ThrowingBodyIsReportedAndTheThreadEnds) {
    RecordingGate gate;
    CThreadImpl thread(gate);
    ThrowingBody body;
    thread.registerHandler(&body);
    ASSERT_TRUE(thread.start(0));
    const auto reports = gate.waitForReports(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], u"IThread(Thrower)::run: body failed");
    EXPECT_TRUE(thread.stop());
}

TEST(ThreadSafeBuffer, EachThreadKeepsItsOwnText) {
    holm::async::CThdSafeBufImpl buffer;
    const char16_t* mine = buffer.setThreadText(u"main text");
    std::promise<void> otherSet, mainChecked;
    const char16_t* theirs = nullptr;
    std::thread other([&] {
        theirs = buffer.setThreadText(u"other text");
        otherSet.set_value();
        mainChecked.get_future().wait();
        EXPECT_EQ(std::u16string(theirs), u"other text")
            << "the main thread's calls change nothing";
        theirs = buffer.setThreadText(u"other again");
    });
    otherSet.get_future().wait();
    EXPECT_EQ(std::u16string(mine), u"main text");
    mine = buffer.setThreadText(u"main again");
    mainChecked.set_value();
    other.join();
    EXPECT_EQ(std::u16string(mine), u"main again");
    EXPECT_EQ(std::u16string(theirs), u"other again");
}

}  // namespace
