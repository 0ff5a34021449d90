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

#include <chrono>
#include <cstdint>
#include <map>
#include <string_view>

#include "platform/unique_handle.h"
#include "registry/registry.h"

namespace holm::platform::registry {

// What a watch reports (the Windows REG_NOTIFY_CHANGE_* bits).
inline constexpr uint32_t kNotifyName = 0x1;        // subkeys added or deleted
inline constexpr uint32_t kNotifyAttributes = 0x2;  // accepted; keys have no attributes here
inline constexpr uint32_t kNotifyLastSet = 0x4;     // values set or deleted
inline constexpr uint32_t kNotifySecurity = 0x8;    // accepted; keys have no security here

class KeyWatch {
  public:
    KeyWatch() = default;

    // Watches the key `path` of `root` (which must exist) and, with
    // `subtree`, every key below it, including keys created later. The key
    // itself being deleted always fires. The watch starts armed.
    static uint32_t create(const Store& store, Root root, std::u16string_view path, bool subtree,
                           uint32_t filter, KeyWatch& watch);

    bool valid() const { return inotify_.valid(); }
    // Readable when a change may be pending; poll it, then call consume().
    int fd() const { return inotify_.get(); }
    // Takes in every pending change. True when the watch is armed and a
    // change it reports was pending; the watch is then fired (disarmed).
    // A fired watch leaves later changes pending and returns false.
    bool consume();
    // Arms the watch again after it fired.
    void rearm() { armed_ = true; }

  private:
    void addDirectory(int directory, bool top);
    void addSubtree(int directory);
    bool relevant(uint32_t mask, std::string_view name, bool top);

    UniqueFd inotify_;
    std::map<int, UniqueFd> directories_;  // watch descriptor -> watched key directory
    int topWatch_ = -1;
    bool subtree_ = false;
    uint32_t filter_ = 0;
    bool armed_ = true;
};

}  // namespace holm::platform::registry
