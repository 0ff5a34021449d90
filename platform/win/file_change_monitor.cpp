#include "platform/file_change_monitor.h"

namespace holm::platform {

// Not provided by this backend yet (see unsupported.h): no file is
// watched, so every caller looks at the name each time (what the header
// promises for a watch the system refuses).
FileChangeMonitor& FileChangeMonitor::process() {
    static FileChangeMonitor* instance = new FileChangeMonitor;
    return *instance;
}

FileChangeMonitor::FileChangeMonitor() = default;

int32_t FileChangeMonitor::watch(int) {
    return kNotWatched;
}

void FileChangeMonitor::unwatch(int32_t) {}

bool FileChangeMonitor::changed(int32_t, uint64_t&) {
    return true;
}

void FileChangeMonitor::drain() {}

}  // namespace holm::platform
