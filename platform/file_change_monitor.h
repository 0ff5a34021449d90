// Whether an open file may have been deleted, renamed or replaced under its
// name since last asked, without looking the name up.
//
// A file is watched through its descriptor, so the watch is on the very file
// open, whatever its name names by then; two descriptors of one file share
// its watch. A "yes" only means the caller should look at the name again.
// Where the system cannot watch a file, watch() gives kNotWatched and the
// caller looks at the name every time. A directory above the file that is
// renamed is not reported.
//
// Linux: one process-wide inotify instance watches every file for
// link-count changes, moves and deletion; asking costs one non-blocking read
// of the instance. Windows: asking looks at the open handle itself (a
// pending delete, its link count, the name it has now against the name it
// had when last asked), so nothing is reported late; where the system does
// not keep an open handle's name current (Wine), no file is watched.
#pragma once

#include <cstdint>
#include <memory>

namespace holm::platform {

class FileChangeMonitor {
  public:
    static constexpr int32_t kNotWatched = -1;

    static FileChangeMonitor& process();

    // Starts watching the file open on `fd`; a watch number, or kNotWatched.
    int32_t watch(int fd);
    void unwatch(int32_t watch);
    // True when the file of `watch` may have changed since the caller's
    // `seen` (which this updates), or when that cannot be told.
    bool changed(int32_t watch, uint64_t& seen);

    // The backend's state; opaque outside the backend.
    struct System;

  private:
    FileChangeMonitor();
    ~FileChangeMonitor();

    std::unique_ptr<System> system_;
};

}  // namespace holm::platform
