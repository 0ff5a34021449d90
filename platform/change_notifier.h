// Change notification for directories: one kernel notification instance
// that many directory watches share, readable as one descriptor.
//
// A watch is identified by the number the kernel gives it. Watching the same
// directory twice (by any path) gives the same number, so callers that share
// an instance count their users of each number. Events are read in batches;
// a queue overflow is reported as one event with watch -1.
//
// Thread safety: watch() and unwatch() may be called from any thread while
// another reads; read() is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

// What an event reports (bits).
inline constexpr uint32_t kChangeEntry = 0x1;  // an entry was created, removed, renamed or written
inline constexpr uint32_t kChangeDirectoryAdded = 0x2;  // the entry is a directory that appeared
inline constexpr uint32_t kChangeSelfGone = 0x4;    // the watched directory was removed or moved
inline constexpr uint32_t kChangeWatchEnded = 0x8;  // the kernel dropped the watch
inline constexpr uint32_t kChangeOverflow = 0x10;   // events were lost (watch is -1)

struct ChangeEvent {
    int watch = -1;
    uint32_t what = 0;
    std::string name;  // the entry's name inside the watched directory, if any
};

class ChangeNotifier {
  public:
    // An instance, or the kernel's refusal (EMFILE: the limit of instances
    // or of descriptors).
    static Result<ChangeNotifier> open();
    ~ChangeNotifier();
    ChangeNotifier(ChangeNotifier&& other) noexcept;
    ChangeNotifier& operator=(ChangeNotifier&& other) noexcept;
    // Readable while events are pending.
    int descriptor() const { return fd_.get(); }

    // Watches the directory `path` for entries created, removed, renamed and
    // written. With `followLink` false a symbolic link as the last component
    // is refused. The watch number, or the error (ENOSPC: the user's watch
    // limit; ENOENT, ENOTDIR: nothing to watch).
    Result<int> watch(const std::string& path, bool followLink);
    // Ends a watch (one the kernel already dropped is ignored).
    void unwatch(int watch);

    // Appends every pending event to `events` without waiting; an error
    // when reading failed for another reason than "nothing pending".
    Status read(std::vector<ChangeEvent>& events);

    // The backend's state beyond the descriptor (none where the kernel
    // keeps it all); opaque outside the backend.
    struct System;

  private:
    ChangeNotifier(UniqueFd fd, std::unique_ptr<System> system);

    UniqueFd fd_;
    std::unique_ptr<System> system_;
};

// The limits of the kernel's notification (from /proc/sys/fs/inotify);
// nullopt where a limit cannot be read.
struct ChangeNotifierLimits {
    std::optional<uint64_t> watchesPerUser;
    std::optional<uint64_t> queuedEvents;
};
ChangeNotifierLimits changeNotifierLimits();

// The names of the directories directly inside `path` that are directories
// themselves, not symbolic links to one (so a walk that follows them never
// loops through a link). Empty when `path` cannot be read.
std::vector<std::string> subdirectoryNames(const std::string& path);

}  // namespace holm::platform
