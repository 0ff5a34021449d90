#include "common/mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A value handed from one thread to another, the wait written as the
// lock-holding loop the analysis can follow.
class Mailbox {
  public:
    void put(int value) EXCLUDES(mutex_) {
        {
            holm::common::MutexLock lock(mutex_);
            value_ = value;
            full_ = true;
        }
        changed_.notifyAll();
    }

    int take() EXCLUDES(mutex_) {
        holm::common::MutexLock lock(mutex_);
        while (!full_) {
            changed_.wait(lock);
        }
        full_ = false;
        return value_;
    }

    // False when nothing came before the deadline.
    bool takeBefore(std::chrono::steady_clock::time_point deadline, int& out) EXCLUDES(mutex_) {
        holm::common::MutexLock lock(mutex_);
        while (!full_) {
            if (!changed_.waitUntil(lock, deadline) && !full_) {
                return false;
            }
        }
        full_ = false;
        out = value_;
        return true;
    }

  private:
    holm::common::Mutex mutex_;
    holm::common::ConditionVariable changed_;
    bool full_ GUARDED_BY(mutex_) = false;
    int value_ GUARDED_BY(mutex_) = 0;
};

TEST(Mutex, AConditionWaitSeesTheValueAnotherThreadPutAndTheLockIsHeldAgainAfterIt) {
    Mailbox request;
    Mailbox reply;
    std::thread echo([&] {
        for (int value = request.take(); value != 0; value = request.take()) {
            reply.put(-value);
        }
    });
    for (int i = 1; i <= 100; ++i) {
        request.put(i);
        ASSERT_EQ(reply.take(), -i);
    }
    request.put(0);
    echo.join();
}

TEST(Mutex, AWaitWhoseDeadlinePassedReportsTimeoutAndKeepsALaterValue) {
    Mailbox box;
    int out = 0;
    EXPECT_FALSE(box.takeBefore(std::chrono::steady_clock::now() - 1s, out));
    box.put(7);
    EXPECT_TRUE(box.takeBefore(std::chrono::steady_clock::now() - 1s, out));
    EXPECT_EQ(out, 7);
}

TEST(Mutex, TryLockFailsWhileAnotherThreadHoldsTheMutex) {
    holm::common::Mutex mutex;
    holm::common::MutexLock hold(mutex);
    bool taken = true;
    std::thread other([&] {
        if (mutex.tryLock()) {
            mutex.unlock();
        } else {
            taken = false;
        }
    });
    other.join();
    EXPECT_FALSE(taken);
}

TEST(RecursiveMutex, TheHoldingThreadTakesItAgainAndOthersWaitUntilTheLastRelease) {
    holm::common::RecursiveMutex mutex;
    int depth = 0;
    bool otherRan = false;
    std::thread other;
    {
        holm::common::RecursiveLock outer(mutex);
        // A re-entry comes through a call, as from a callback; it would
        // deadlock a plain mutex.
        const auto reenter = [&] {
            holm::common::RecursiveLock inner(mutex);
            depth = 2;
        };
        reenter();
        other = std::thread([&] {
            holm::common::RecursiveLock lock(mutex);
            otherRan = depth == 0;
        });
        depth = 0;
    }
    other.join();
    EXPECT_TRUE(otherRan);
}

TEST(SharedMutex, ReadersShareAndAWriterWaitsForThem) {
    holm::common::SharedMutex mutex;
    int value = 0;
    std::thread writer;
    {
        holm::common::ReaderLock first(mutex);
        std::thread reader([&] { holm::common::ReaderLock second(mutex); });
        reader.join();  // a second reader got in while the first held it
        writer = std::thread([&] {
            holm::common::WriterLock lock(mutex);
            value = 1;
        });
        value = 2;  // the writer cannot run before the reader leaves
    }
    writer.join();
    EXPECT_EQ(value, 1);
}

}  // namespace
