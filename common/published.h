// An object that readers on any thread use without a lock or a shared count,
// and that a writer replaces at any time (hazard pointers).
//
// A reader announces the object it is about to use in a slot of its own
// thread, then checks that the object is still the published one; a
// replaced object is destroyed only once no thread's slot names it. So a
// read writes nothing that another thread reads often: two readers on two
// cores never contend for a cache line, where a mutex or a shared_ptr copy
// moves one between them on every read.
//
// A replaced object is kept in a retired list. It is destroyed by the
// writer's reclaim() when no reader holds it, or else by the last reader that
// held it, when that reader ends (on the reader's thread, outside any lock).
//
// Each thread has a few slots; readers nest (a reader whose call re-enters
// the owner takes the next slot). A reader that finds no free slot is not
// acquired: the owner then takes its locked way instead (share()).
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "common/mutex.h"

namespace holm::common {

namespace hazard {

// Slots of one thread; readers nested deeper than this take the locked way.
inline constexpr size_t kSlotsPerThread = 4;

// A free slot of the calling thread, or null when all are in use (or the
// thread is ending). A slot in use holds the object read, or its own address
// while there is none.
std::atomic<const void*>* takeSlot() noexcept;
// Clears `slot` and gives it back to its thread.
inline void giveBack(std::atomic<const void*>* slot) noexcept {
    slot->store(nullptr, std::memory_order_seq_cst);
}
// Whether a slot of any thread names `object`.
bool isHeld(const void* object) noexcept;

}  // namespace hazard

template <class T>
class Published {
  public:
    // Holds the published object for its scope; the object stays alive
    // until the reader ends, even when it is replaced meanwhile.
    class Reader {
      public:
        explicit Reader(const Published& owner) noexcept
            : owner_(owner), slot_(hazard::takeSlot()) {
            if (slot_ == nullptr) {
                return;
            }
            T* seen = owner.current_.load(std::memory_order_acquire);
            for (;;) {
                slot_->store(seen != nullptr ? static_cast<const void*>(seen) : slot_,
                             std::memory_order_seq_cst);
                T* now = owner.current_.load(std::memory_order_seq_cst);
                if (now == seen) {
                    break;
                }
                seen = now;
            }
            object_ = seen;
        }
        ~Reader() {
            if (slot_ == nullptr) {
                return;
            }
            hazard::giveBack(slot_);
            if (owner_.retiredCount_.load(std::memory_order_seq_cst) != 0) {
                owner_.reclaim();
            }
        }
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;

        // False when no slot was free: get() is then null and the owner
        // must be read the locked way.
        bool acquired() const noexcept { return slot_ != nullptr; }
        // The published object (null when none is).
        T* get() const noexcept { return object_; }

      private:
        const Published& owner_;
        std::atomic<const void*>* slot_;
        T* object_ = nullptr;
    };

    Published() = default;
    explicit Published(std::shared_ptr<T> initial) { publish(std::move(initial)); }
    // No reader may be left.
    ~Published() = default;
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    Reader read() const noexcept { return Reader(*this); }

    // The published object with a counted reference: the way for a reader
    // that found no slot, and for code that keeps the object.
    std::shared_ptr<T> share() const EXCLUDES(lock_) {
        MutexLock hold(lock_);
        return owner_;
    }

    // Publishes `next`; the object it replaces goes when no reader holds it.
    // Destroys nothing itself: call reclaim() where destructors may run.
    void publish(std::shared_ptr<T> next) EXCLUDES(lock_) {
        MutexLock hold(lock_);
        current_.store(next.get(), std::memory_order_seq_cst);
        if (owner_) {
            retired_.push_back(std::move(owner_));
        }
        owner_ = std::move(next);
        retiredCount_.store(retired_.size(), std::memory_order_seq_cst);
    }

    // Destroys the replaced objects no reader holds, on this thread and
    // outside the lock.
    void reclaim() const EXCLUDES(lock_) {
        std::vector<std::shared_ptr<T>> unheld;
        {
            MutexLock hold(lock_);
            for (auto it = retired_.begin(); it != retired_.end();) {
                if (hazard::isHeld(it->get())) {
                    ++it;
                } else {
                    unheld.push_back(std::move(*it));
                    it = retired_.erase(it);
                }
            }
            retiredCount_.store(retired_.size(), std::memory_order_seq_cst);
        }
    }

  private:
    std::atomic<T*> current_{nullptr};
    mutable Mutex lock_;
    std::shared_ptr<T> owner_ GUARDED_BY(lock_);
    mutable std::vector<std::shared_ptr<T>> retired_ GUARDED_BY(lock_);
    mutable std::atomic<size_t> retiredCount_{0};
};

}  // namespace holm::common
