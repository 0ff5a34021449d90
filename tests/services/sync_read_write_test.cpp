#include "services/sync_read_write.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hlmplg/interface_ids.h"
#include "hlmplg/wow64_fs_redir.h"
#include "services/factory.h"

namespace {

using holm::services::CSyncReadWriteImpl;

using Clock = std::chrono::steady_clock;
constexpr auto kSyncDeadline = std::chrono::seconds(20);

// A hand-over test that misses its deadline has threads blocked on the lock
// for good; end the process instead of hanging the suite.
void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "deadline passed waiting for: %s\n", what);
        std::abort();
    }
}

// Everything the threads of a test report, in the order it happened: the
// lock's wait hook and the threads' own progress.
class Observer {
  public:
    CSyncReadWriteImpl::WaitHook hook() {
        return [this](CSyncReadWriteImpl::Waiter waiter) {
            std::lock_guard lock(mutex_);
            ++(waiter == CSyncReadWriteImpl::Waiter::Reader ? readersWaiting_ : writersWaiting_);
            changed_.notify_all();
        };
    }

    // Records each hand-over as "W1" (the lock went to one writer) or "R<n>"
    // (to n readers). Called under the lock's mutex; takes only the
    // observer's own.
    CSyncReadWriteImpl::HandOverHook handOverHook() {
        return [this](CSyncReadWriteImpl::Waiter waiter, int32_t count) {
            std::lock_guard lock(mutex_);
            handOvers_.push_back((waiter == CSyncReadWriteImpl::Waiter::Writer ? "W" : "R") +
                                 std::to_string(count));
        };
    }

    std::vector<std::string> handOvers() {
        std::lock_guard lock(mutex_);
        return handOvers_;
    }

    // Blocks until `event` was logged or one more reader waits than
    // `readersBefore`; true for the event.
    bool awaitEventOrWaitingReader(const std::string& event, int readersBefore) {
        bool logged = false;
        awaitState(
            [&] {
                logged = std::find(events_.begin(), events_.end(), event) != events_.end();
                return logged || readersWaiting_ > readersBefore;
            },
            "a reader to enter or wait");
        return logged;
    }

    void log(const std::string& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }

    void awaitWaiting(int readers, int writers) {
        awaitState([&] { return readersWaiting_ == readers && writersWaiting_ == writers; },
                   "threads to wait on the lock");
    }

    // Blocks until `count` events were logged.
    void awaitEvents(size_t count) {
        awaitState([&] { return events_.size() >= count; }, "threads to report");
    }

    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    template <class Predicate>
    void awaitState(Predicate ready, const char* what) {
        std::unique_lock lock(mutex_);
        require(changed_.wait_until(lock, Clock::now() + kSyncDeadline, ready), what);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int readersWaiting_ = 0;
    int writersWaiting_ = 0;
    std::vector<std::string> events_;
    std::vector<std::string> handOvers_;
};

// A one-shot signal that a thread waits for with a deadline.
class Gate {
  public:
    void open() { promise_.set_value(); }
    void pass() {
        require(future_.wait_for(kSyncDeadline) == std::future_status::ready, "a gate to open");
    }

  private:
    std::promise<void> promise_;
    std::shared_future<void> future_ = promise_.get_future().share();
};

TEST(SyncReadWrite, WaitingWriterQueuesNewReadersAndTakesOverFromTheLastReader) {
    Observer observer;
    CSyncReadWriteImpl lock(observer.hook());
    Gate releaseFirst, releaseSecond;
    auto holdRead = [&](const std::string& name, Gate& release) {
        lock.lockRead();
        observer.log(name + " in");
        release.pass();
        observer.log(name + " out");
        lock.unlockRead();
    };
    std::jthread first(holdRead, "R1", std::ref(releaseFirst));
    std::jthread second(holdRead, "R2", std::ref(releaseSecond));
    observer.awaitEvents(2);  // both readers hold the lock together

    std::jthread writer([&] {
        lock.lockWrite();
        observer.log("W in");
        observer.log("W out");
        lock.unlockWrite();
    });
    observer.awaitWaiting(0, 1);
    std::jthread lateReader([&] {
        lock.lockRead();
        observer.log("R3 in");
        lock.unlockRead();
    });
    observer.awaitWaiting(1, 1);  // queued behind the waiting writer

    releaseFirst.open();
    observer.awaitEvents(3);
    releaseSecond.open();
    observer.awaitEvents(7);
    const auto events = observer.events();
    const std::vector<std::string> tail(events.begin() + 2, events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"R1 out", "R2 out", "W in", "W out", "R3 in"}));
}

// Read holds are counted, not owned by threads, so the test thread takes
// both; the hand-over hook tells at once whether a release let the writer in.
TEST(SyncReadWrite, AWaitingWriterGetsTheLockOnlyWhenTheLastReaderLeaves) {
    Observer observer;
    CSyncReadWriteImpl lock(observer.hook(), observer.handOverHook());
    lock.lockRead();  // R1
    lock.lockRead();  // R2
    std::jthread writer([&] {
        lock.lockWrite();
        observer.log("W in");
        lock.unlockWrite();
    });
    observer.awaitWaiting(0, 1);

    lock.unlockRead();  // R1 leaves, R2 still reads
    EXPECT_TRUE(observer.handOvers().empty()) << "the writer got the lock beside a reader";
    lock.unlockRead();  // R2 leaves
    EXPECT_EQ(observer.handOvers(), std::vector<std::string>{"W1"});
    observer.awaitEvents(1);
    writer.join();

    // The writer no longer counts as waiting: a new reader goes straight in.
    std::jthread reader([&] {
        lock.lockRead();
        observer.log("R in");
        lock.unlockRead();
    });
    if (!observer.awaitEventOrWaitingReader("R in", 0)) {
        ADD_FAILURE() << "a reader waits although no writer holds or wants the lock";
        lock.lockWrite();  // lets the stuck reader in, so that the test can end
        lock.unlockWrite();
    }
}

TEST(SyncReadWrite, ReleasingWriterLetsAllWaitingReadersInBeforeTheNextWriter) {
    Observer observer;
    CSyncReadWriteImpl lock(observer.hook(), observer.handOverHook());
    Gate releaseWriter;
    std::jthread writer([&] {
        lock.lockWrite();
        observer.log("W1 in");
        releaseWriter.pass();
        observer.log("W1 out");
        lock.unlockWrite();
    });
    observer.awaitEvents(1);

    // Both readers must hold the lock at the same time before either leaves.
    std::atomic<int> readersInside{0};
    Observer rendezvous;
    auto reader = [&] {
        lock.lockRead();
        observer.log("R in");
        ++readersInside;
        rendezvous.log("inside");
        rendezvous.awaitEvents(2);
        lock.unlockRead();
    };
    auto secondWriter = [&] {
        lock.lockWrite();
        observer.log("W2 in");
        lock.unlockWrite();
    };
    std::jthread firstReader(reader);
    observer.awaitWaiting(1, 0);
    std::jthread nextWriter(secondWriter);
    observer.awaitWaiting(1, 1);
    std::jthread secondReader(reader);  // arrives after the waiting writer
    observer.awaitWaiting(2, 1);

    releaseWriter.open();
    observer.awaitEvents(5);
    EXPECT_EQ(observer.events(),
              (std::vector<std::string>{"W1 in", "W1 out", "R in", "R in", "W2 in"}));
    EXPECT_EQ(observer.handOvers(), (std::vector<std::string>{"R2", "W1"}));
    EXPECT_EQ(readersInside.load(), 2);
}

// Many threads reading and writing shared state; a writer must always be
// alone. Under the thread sanitizer this also checks that the lock orders
// the plain memory accesses.
TEST(SyncReadWrite, WritersAreAloneUnderContention) {
    CSyncReadWriteImpl lock;
    std::atomic<int> readers{0}, writers{0};
    std::atomic<bool> violated{false};
    long shared = 0;
    Observer finished;
    auto work = [&](int seed) {
        for (int i = 0; i < 2000; ++i) {
            if ((i + seed) % 4 == 0) {
                lock.lockWrite();
                const bool alone = ++writers == 1 && readers == 0;
                if (!alone) {
                    violated = true;
                }
                ++shared;
                --writers;
                lock.unlockWrite();
            } else {
                lock.lockRead();
                ++readers;
                if (writers != 0) {
                    violated = true;
                }
                volatile long seen = shared;
                (void)seen;
                --readers;
                lock.unlockRead();
            }
        }
        finished.log("done");
    };
    {
        std::vector<std::jthread> threads;
        for (int seed = 0; seed < 4; ++seed) {
            threads.emplace_back(work, seed);
        }
        finished.awaitEvents(4);  // a lost hand-over ends the test, not the suite
    }
    EXPECT_FALSE(violated.load());
    EXPECT_EQ(shared, 4 * 500);
}

TEST(SyncReadWrite, UnpairedUnlocksDoNotCorruptTheCounts) {
    CSyncReadWriteImpl lock;
    std::promise<void> done;
    std::jthread thread([&] {
        lock.unlockRead();
        lock.unlockWrite();
        lock.lockWrite();  // would wait for ever on a negative reader count
        lock.unlockWrite();
        lock.lockRead();
        lock.unlockRead();
        done.set_value();
    });
    require(done.get_future().wait_for(kSyncDeadline) == std::future_status::ready,
            "the lock after unpaired unlocks");
}

TEST(ServiceFactory, MakesTheLockAndRedirectionControlById) {
    auto* lock = holm::services::createService(HlmPlg::IID_SYNCREADWRITE);
    ASSERT_NE(dynamic_cast<HlmPlg::ISyncReadWrite*>(lock), nullptr);
    holm::services::destroyService(lock);
    auto* redirection = holm::services::createService(HlmPlg::IID_WOW64FSREDIR, u"/usr/lib/");
    ASSERT_NE(dynamic_cast<HlmPlg::IWow64FSRedir*>(redirection), nullptr);
    holm::services::destroyService(redirection);
    EXPECT_EQ(holm::services::createService(HlmPlg::IID_CMDLINE), nullptr);
}

}  // namespace
