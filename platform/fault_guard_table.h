// The table of per-thread fault guards that both backends' fault handlers
// search, and the arming of a guard around a call. Private to the platform
// module's fault guard.
//
// A guard holds what a thread needs when it faults, all prepared before any
// guard is armed on it. The handler finds the faulting thread's guard here
// rather than in thread-local storage, which a library loaded at run time
// may allocate on a thread's first access. Guards are never freed: a thread
// that ends hands its guard back for the next thread, so the handler never
// reads freed memory. The table is filled and searched without locks and
// lives in static storage, so the handler may search it at any moment.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace holm::platform {

// Most threads that can hold a guard at once; a thread beyond them runs its
// guarded calls unguarded.
inline constexpr size_t kMaxGuardedThreads = 4096;

// `Guard` has an atomic `owner` (the thread's id, zero while free) and an
// `active` pointer (the innermost armed guard's jump buffer, null when none
// is armed). `Same` compares two thread ids.
template <class Guard, class Same>
class FaultGuardTable {
  public:
    using Owner = typename decltype(Guard::owner)::value_type;

    // The guard `thread` owns, or null. Safe in the fault handler.
    Guard* find(Owner thread) const noexcept {
        const size_t count = std::min(count_.load(), kMaxGuardedThreads);
        for (size_t i = 0; i < count; ++i) {
            Guard* guard = guards_[i].load();
            if (guard != nullptr && Same{}(guard->owner.load(), thread)) {
                return guard;
            }
        }
        return nullptr;
    }

    // A free guard for `self`: one handed back by a thread that ended, else
    // a new one; null when the table is full.
    Guard* claim(Owner self) {
        const size_t count = std::min(count_.load(), kMaxGuardedThreads);
        for (size_t i = 0; i < count; ++i) {
            Guard* guard = guards_[i].load();
            Owner expected{};
            if (guard != nullptr && guard->owner.compare_exchange_strong(expected, self)) {
                return guard;
            }
        }
        const size_t index = count_.fetch_add(1);
        if (index >= kMaxGuardedThreads) {
            return nullptr;
        }
        auto* guard = new Guard();  // never freed, see above
        guard->owner = self;
        guards_[index].store(guard);
        return guard;
    }

    // Hands `guard` back when its thread ends: disarmed and free.
    static void release(Guard& guard) noexcept {
        guard.active = nullptr;
        guard.owner = Owner{};
    }

  private:
    std::atomic<Guard*> guards_[kMaxGuardedThreads];
    std::atomic<size_t> count_{0};
};

// Runs `body(context)` with `buffer` as the innermost armed guard of the
// thread owning `guard`, and restores the guard that was armed before when
// the body returns or throws. The caller sets the jump buffer; this is kept
// out of line so that the caller's frame, which the handler jumps back to,
// has no objects a jump would skip. Its own frame (`armedFrame`) bounds the
// frames a fault abandons: the backtrace of a fault ends below it.
template <class Guard>
[[gnu::noinline]] void callArmed(Guard& guard, decltype(Guard::active) buffer, void (*body)(void*),
                                 void* context) {
    struct Disarm {
        Guard& guard;
        decltype(Guard::active) previous;
        const void* previousFrame;
        ~Disarm() {
            guard.active = previous;
            guard.armedFrame = previousFrame;
        }
    } disarm{guard, guard.active, guard.armedFrame};
    guard.armedFrame = __builtin_frame_address(0);
    guard.active = buffer;
    body(context);
}

}  // namespace holm::platform
