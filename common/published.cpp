#include "common/published.h"

namespace holm::common::hazard {
namespace {

// The slots of one thread. Records are linked once and never freed; a
// record whose thread ended is taken over by the next new thread. Each has
// cache lines of its own: a reader stores to its slots on every read, and
// must not take the line of another thread's slots with it.
struct alignas(64) ThreadRecord {
    std::atomic<const void*> slots[kSlotsPerThread] = {};
    std::atomic<bool> taken{true};
    ThreadRecord* next = nullptr;  // fixed once the record is linked
};

constinit std::atomic<ThreadRecord*> records{nullptr};

ThreadRecord* claimRecord() {
    for (ThreadRecord* record = records.load(std::memory_order_acquire); record != nullptr;
         record = record->next) {
        bool taken = false;
        if (!record->taken.load(std::memory_order_relaxed) &&
            record->taken.compare_exchange_strong(taken, true, std::memory_order_acquire)) {
            return record;
        }
    }
    auto* record = new ThreadRecord();
    record->next = records.load(std::memory_order_relaxed);
    while (!records.compare_exchange_weak(record->next, record, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    }
    return record;
}

// The calling thread's record, handed back when the thread ends.
class ThreadSlots {
  public:
    ~ThreadSlots() {
        ended_ = true;
        if (record_ != nullptr) {
            for (auto& slot : record_->slots) {
                slot.store(nullptr, std::memory_order_seq_cst);
            }
            record_->taken.store(false, std::memory_order_release);
            record_ = nullptr;
        }
    }
    ThreadRecord* record() {
        if (record_ == nullptr && !ended_) {
            record_ = claimRecord();
        }
        return record_;
    }

  private:
    ThreadRecord* record_ = nullptr;
    bool ended_ = false;
};

thread_local ThreadSlots threadSlots;

}  // namespace

std::atomic<const void*>* takeSlot() noexcept {
    ThreadRecord* record = nullptr;
    try {
        record = threadSlots.record();
    } catch (...) {
        return nullptr;  // no memory for a record: the locked way
    }
    if (record == nullptr) {
        return nullptr;
    }
    // Only this thread writes its slots; one in use holds an object or its
    // own address.
    for (auto& slot : record->slots) {
        if (slot.load(std::memory_order_relaxed) == nullptr) {
            slot.store(&slot, std::memory_order_relaxed);
            return &slot;
        }
    }
    return nullptr;
}

bool isHeld(const void* object) noexcept {
    for (ThreadRecord* record = records.load(std::memory_order_acquire); record != nullptr;
         record = record->next) {
        for (const auto& slot : record->slots) {
            if (slot.load(std::memory_order_seq_cst) == object) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace holm::common::hazard
