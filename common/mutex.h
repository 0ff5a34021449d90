// Mutexes and locks that carry their contracts for clang's thread-safety
// analysis (see thread_annotations.h).
//
// Members a mutex guards are declared GUARDED_BY(mutex_); a function that
// must run with it held is REQUIRES(mutex_); one that takes it, or calls out
// to code that may re-enter (a handler, a plugin), is EXCLUDES(mutex_). The
// types are thin: a `Mutex` is a std::mutex, a `MutexLock` a
// std::unique_lock over it, and a `ConditionVariable` waits on that lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "common/thread_annotations.h"

namespace holm::common {

// A mutex over a standard one; `Mutex` and `RecursiveMutex` below.
template <class Native>
class CAPABILITY("mutex") BasicMutex {
  public:
    BasicMutex() = default;
    BasicMutex(const BasicMutex&) = delete;
    BasicMutex& operator=(const BasicMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool tryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

    // Tells the analysis the caller holds the mutex where it cannot see it
    // (a callback the holder runs); checks nothing at run time.
    void assertHeld() const ASSERT_CAPABILITY(this) {}

  private:
    friend class MutexLock;
    Native mutex_;
};

using Mutex = BasicMutex<std::mutex>;

// A mutex the holding thread may take again (a request that re-enters the
// object through a callback). The analysis does not count re-entries: a
// function that may run with the mutex held and takes it again must not be
// marked EXCLUDES; RecursiveLock is the scope that holds it.
using RecursiveMutex = BasicMutex<std::recursive_mutex>;

// Holds a Mutex for its scope; may be released and taken again inside it,
// and is what a ConditionVariable waits on.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }

  private:
    friend class ConditionVariable;
    std::unique_lock<std::mutex> lock_;
};

// A condition variable over a MutexLock. The analysis treats the mutex as
// held across a wait, which is what the caller sees: it is held again when
// the wait returns. Write the wait as a loop over the condition (`while
// (!ready_) changed_.wait(lock);`) so that the guarded state is read in the
// function that holds the lock.
class ConditionVariable {
  public:
    void wait(MutexLock& lock) { condition_.wait(lock.lock_); }

    // False when the deadline passed.
    template <class Clock, class Duration>
    bool waitUntil(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline) {
        return condition_.wait_until(lock.lock_, deadline) == std::cv_status::no_timeout;
    }

    // False when the time ran out.
    template <class Rep, class Period>
    bool waitFor(MutexLock& lock, const std::chrono::duration<Rep, Period>& time) {
        return condition_.wait_for(lock.lock_, time) == std::cv_status::no_timeout;
    }

    void notifyOne() noexcept { condition_.notify_one(); }
    void notifyAll() noexcept { condition_.notify_all(); }

  private:
    std::condition_variable condition_;
};

// A reader/writer mutex: many readers or one writer.
class CAPABILITY("shared mutex") SharedMutex {
  public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    void lockShared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
    void unlockShared() RELEASE_SHARED() { mutex_.unlock_shared(); }
    void assertHeld() const ASSERT_CAPABILITY(this) {}

  private:
    std::shared_mutex mutex_;
};

// Holds a RecursiveMutex, or a SharedMutex as its one writer, for its scope.
template <class ExclusiveMutex>
class SCOPED_CAPABILITY ExclusiveLock {
  public:
    explicit ExclusiveLock(ExclusiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~ExclusiveLock() RELEASE() { mutex_.unlock(); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  private:
    ExclusiveMutex& mutex_;
};

using RecursiveLock = ExclusiveLock<RecursiveMutex>;
using WriterLock = ExclusiveLock<SharedMutex>;

class SCOPED_CAPABILITY ReaderLock {
  public:
    explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
        mutex_.lockShared();
    }
    ~ReaderLock() RELEASE() { mutex_.unlockShared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

  private:
    SharedMutex& mutex_;
};

}  // namespace holm::common
