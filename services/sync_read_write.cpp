#include "services/sync_read_write.h"

namespace holm::services {

void CSyncReadWriteImpl::waitOn(holm::services::CountingSemaphore& semaphore, Waiter waiter) {
    if (waitHook_) {
        waitHook_(waiter);
    }
    semaphore.acquire();
}

void CSyncReadWriteImpl::admitWaitingReaders() {
    const int32_t admitted = waitingReaders_;
    activeReaders_ += admitted;
    waitingReaders_ = 0;
    if (handOverHook_) {
        handOverHook_(Waiter::Reader, admitted);
    }
    readers_.release(admitted);
}

void CSyncReadWriteImpl::admitNextWriter() {
    writerActive_ = true;
    --waitingWriters_;
    if (handOverHook_) {
        handOverHook_(Waiter::Writer, 1);
    }
    writers_.release();
}

void CSyncReadWriteImpl::lockRead() {
    holm::common::MutexLock lock(mutex_);
    if (!writerActive_ && waitingWriters_ == 0) {
        ++activeReaders_;
        return;
    }
    ++waitingReaders_;
    lock.unlock();
    waitOn(readers_, Waiter::Reader);
}

void CSyncReadWriteImpl::unlockRead() {
    holm::common::MutexLock lock(mutex_);
    // An unpaired unlock must not drive the count negative and hand the lock
    // to a writer while readers still hold it.
    if (activeReaders_ == 0) {
        return;
    }
    --activeReaders_;
    if (activeReaders_ == 0 && waitingWriters_ > 0) {
        admitNextWriter();
    }
}

void CSyncReadWriteImpl::lockWrite() {
    holm::common::MutexLock lock(mutex_);
    if (activeReaders_ == 0 && !writerActive_) {
        writerActive_ = true;
        return;
    }
    ++waitingWriters_;
    lock.unlock();
    waitOn(writers_, Waiter::Writer);
}

void CSyncReadWriteImpl::unlockWrite() {
    holm::common::MutexLock lock(mutex_);
    if (!writerActive_) {
        return;  // unpaired: nothing to hand over
    }
    writerActive_ = false;
    if (waitingReaders_ > 0) {
        admitWaitingReaders();
    } else if (waitingWriters_ > 0) {
        admitNextWriter();
    }
}

}  // namespace holm::services
