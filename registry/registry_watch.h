// Change notification for a registry key, as a waitable file descriptor.
//
// A watch is one-shot like the Windows registry notification: once it has
// fired (consume() returned true) it reports nothing more until rearm().
// Changes that happen between the firing and the re-arming are not lost:
// they are reported as soon as the watch is re-armed. A burst of changes
// that is pending when consume() runs is reported once. The store's own
// temporary files, metadata and lock files never fire a watch.
//
// Thread safety: one watch is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/unique_handle.h"
#include "registry/registry.h"

namespace holm::registry {

// What a watch reports (the Windows REG_NOTIFY_CHANGE_* bits).
inline constexpr uint32_t kNotifyName = 0x1;        // subkeys added or deleted
inline constexpr uint32_t kNotifyAttributes = 0x2;  // accepted; keys have no attributes here
inline constexpr uint32_t kNotifyLastSet = 0x4;     // values set or deleted
inline constexpr uint32_t kNotifySecurity = 0x8;    // accepted; keys have no security here

// Many key watches over one kernel change-notification instance, so that a
// process watching thousands of keys holds one instance, not one per key.
// Each watch is one-shot as above (consume() disarms what it reports); a
// change a disarmed watch sees is kept and reported by the first consume()
// after its rearm(). A directory watched by several watches (a key and a
// subtree above it) is one kernel watch shared by them.
class KeyWatchSet {
  public:
    KeyWatchSet();
    ~KeyWatchSet();
    KeyWatchSet(KeyWatchSet&& other) noexcept;
    KeyWatchSet& operator=(KeyWatchSet&& other) noexcept;

    // Adds a watch as KeyWatch::create does and gives its id (never 0). The
    // set opens its instance with the first watch. A kernel limit gives
    // kTooManyOpenFiles (instances, descriptors) or kNoSystemResources
    // (kernel watches); keys below a subtree that the kernel refuses stay
    // unwatched.
    platform::Result<uint64_t> add(const Store& store, Root root, std::u16string_view path,
                                   bool subtree, uint32_t filter);
    // Ends a watch (no effect for an id that is not one).
    void remove(uint64_t id);

    bool valid() const;
    // Readable when a change may be pending; poll it, then call consume().
    int fd() const;
    // Takes in every pending change; gives the armed watches that saw a
    // change they report (now disarmed).
    std::vector<uint64_t> consume();
    void rearm(uint64_t id);
    bool armed(uint64_t id) const;
    // False once the watched key's own directory is gone (deleted, moved).
    bool intact(uint64_t id) const;
    size_t size() const;

    // The backend's watches; opaque outside it.
    struct System;

  private:
    std::unique_ptr<System> system_;
};

class KeyWatch {
  public:
    KeyWatch() = default;

    // Watches the key `path` of `root` (which must exist) and, with
    // `subtree`, every key below it, including keys created later. The key
    // itself being deleted always fires. The watch starts armed.
    static platform::Result<KeyWatch> create(const Store& store, Root root,
                                             std::u16string_view path, bool subtree,
                                             uint32_t filter);

    bool valid() const { return id_ != 0; }
    // Readable when a change may be pending; poll it, then call consume().
    int fd() const { return set_.fd(); }
    // Takes in every pending change. True when the watch is armed and a
    // change it reports was pending; the watch is then fired (disarmed).
    // A fired watch leaves later changes pending and returns false. Needs no
    // poll first: every change made before the call is taken in, also where
    // the descriptor tells of it only later.
    bool consume();
    // Arms the watch again after it fired.
    void rearm();

  private:
    KeyWatchSet set_;
    uint64_t id_ = 0;
};

}  // namespace holm::registry
