// "Wait for any one" for the asynchronous workers: a set of waitable
// sources, each with a key, and a wait that reports the keys of the sources
// that are signalled.
//
// A source is what the system waits on: a descriptor that is readable while
// it is signalled here (an event, a FIFO, a change notifier), a handle in a
// backend that waits on handles or a completion port. A source stays a
// member until it is removed or closed. The wait is level-triggered: a source
// that is still signalled is reported again by the next wait, so a caller
// that acts on only some keys of a batch loses none. The wait set itself is
// used by one thread; the sources may be signalled from any.
//
// Each set has a wake source of its own: wake(), from any thread, makes the
// current or next wait report the set's wake key. A wait that reports it
// has consumed it, so the waiter looks at what changed after the wait
// returned, and a wake() made after that is reported by a later wait: none
// is lost. (An event here; a backend with a completion port posts to it.)
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/result.h"

namespace holm::platform {

// A waitable of the system: a descriptor here.
using WaitSource = int;

class WaitSet {
  public:
    using Key = uint64_t;
    using Deadline = std::chrono::steady_clock::time_point;
    // The most keys one wait reports; the others wait for the next.
    static constexpr size_t kBatch = 64;

    // A set with only its wake source, reported as `wakeKey`; valid() tells
    // whether the system could make it.
    explicit WaitSet(Key wakeKey);
    ~WaitSet();
    WaitSet(const WaitSet&) = delete;
    WaitSet& operator=(const WaitSet&) = delete;
    bool valid() const;

    // Makes `source` a member, reported as `key`. An error when the system
    // refuses it (limits, a source that cannot be waited on).
    Status add(WaitSource source, Key key);
    // Ends the membership of `source` (closing it does too).
    void remove(WaitSource source);
    // Any thread: the wait set's waiter is to look again.
    void wake();

    // Waits until at least one member is signalled or `deadline` passes:
    // the keys of the signalled members (none at the deadline), valid until
    // the next wait; an error when the wait failed. The wake key among them
    // means the wake was consumed.
    Result<std::span<const Key>> wait(Deadline deadline = Deadline::max());

  private:
    struct System;
    std::unique_ptr<System> system_;
    std::array<Key, kBatch> ready_{};
};

// Whether `key` is among `keys`.
bool containsKey(std::span<const WaitSet::Key> keys, WaitSet::Key key);

}  // namespace holm::platform
