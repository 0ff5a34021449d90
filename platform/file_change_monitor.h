// Whether an open file may have been deleted, renamed or replaced under its
// name since last asked, without looking the name up.
//
// One process-wide kernel watch instance serves every file: a file is
// watched through its descriptor (so the watch is on the very file open,
// whatever its name names by then) for link-count changes, moves and
// deletion. Asking costs one non-blocking read of the instance; a "yes"
// only means the caller should look at the name again. Where the system
// refuses a watch (limits), watch() gives kNotWatched and the caller looks at
// the name every time. A directory above the file that is renamed is not
// reported.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "platform/unique_handle.h"

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

  private:
    FileChangeMonitor();
    void drain();

    std::mutex lock_;
    UniqueFd instance_;
    struct Watched {
        uint64_t events = 0;
        int users = 0;  // two names of one file share its watch
    };
    std::map<int32_t, Watched> watches_;
    uint64_t overflows_ = 0;  // lost events count for every watch
};

}  // namespace holm::platform
