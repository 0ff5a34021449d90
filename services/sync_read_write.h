// The many-readers/one-writer lock plugins share through the object
// (interface id 8), built from one mutex and two counting semaphores.
#pragma once

#include <cstdint>
#include <functional>

#include "common/mutex.h"
#include "hlmplg/sync_read_write.h"
#include "services/counting_semaphore.h"

namespace holm::services {

// Every step runs under the mutex, which is released before a semaphore wait.
// Hand-over: a thread that must wait is counted as waiting and blocks on its
// semaphore; the releasing side marks it active before releasing the
// semaphore, so a woken thread owns the lock as soon as it wakes.
//  - New readers queue behind an active or waiting writer.
//  - A releasing writer lets every waiting reader in, else the next writer.
//  - The last reader out hands over to a waiting writer.
class CSyncReadWriteImpl : public HlmPlg::ISyncReadWrite {
  public:
    enum class Waiter { Reader, Writer };
    // Called on a thread that is about to wait, after it has been counted as
    // waiting and the mutex has been released: lets tests order threads on
    // the lock without guessing when a thread blocks.
    using WaitHook = std::function<void(Waiter)>;
    // Called under the lock's mutex when a releasing thread hands the lock to
    // `count` waiting threads of one kind, before they wake: tests see the
    // hand-over the moment it is decided, not whenever the woken threads get
    // to run. It must not call the lock.
    using HandOverHook = std::function<void(Waiter, int32_t count)>;

    CSyncReadWriteImpl() = default;
    explicit CSyncReadWriteImpl(WaitHook wait, HandOverHook handOver = {})
        : waitHook_(std::move(wait)), handOverHook_(std::move(handOver)) {}

    void lockRead() override EXCLUDES(mutex_);
    void unlockRead() override EXCLUDES(mutex_);
    void lockWrite() override EXCLUDES(mutex_);
    void unlockWrite() override EXCLUDES(mutex_);

  private:
    void waitOn(holm::services::CountingSemaphore& semaphore, Waiter waiter) EXCLUDES(mutex_);
    // Both run under the mutex: they mark the waiters active, then wake them.
    void admitWaitingReaders() REQUIRES(mutex_);
    void admitNextWriter() REQUIRES(mutex_);

    holm::common::Mutex mutex_;
    holm::services::CountingSemaphore readers_{0};
    holm::services::CountingSemaphore writers_{0};
    int32_t activeReaders_ GUARDED_BY(mutex_) = 0;
    int32_t waitingReaders_ GUARDED_BY(mutex_) = 0;
    bool writerActive_ GUARDED_BY(mutex_) = false;
    int32_t waitingWriters_ GUARDED_BY(mutex_) = 0;
    const WaitHook waitHook_;
    const HandOverHook handOverHook_;
};

}  // namespace holm::services
