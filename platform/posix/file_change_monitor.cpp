#include "platform/file_change_monitor.h"

#include <sys/inotify.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <string>

#include "platform/io.h"

namespace holm::platform {

FileChangeMonitor& FileChangeMonitor::process() {
    static FileChangeMonitor monitor;
    return monitor;
}

FileChangeMonitor::FileChangeMonitor() : instance_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

int32_t FileChangeMonitor::watch(int fd) {
    if (!instance_.valid()) {
        return kNotWatched;
    }
    // The descriptor's entry in /proc names the open file itself.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    std::lock_guard hold(lock_);
    const int watch =
        inotify_add_watch(instance_.get(), self.c_str(), IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
    if (watch < 0) {
        return kNotWatched;
    }
    ++watches_[watch].users;
    return watch;
}

void FileChangeMonitor::unwatch(int32_t watch) {
    if (watch == kNotWatched) {
        return;
    }
    std::lock_guard hold(lock_);
    const auto found = watches_.find(watch);
    if (found != watches_.end() && --found->second.users <= 0) {
        (void)inotify_rm_watch(instance_.get(), watch);  // gone already if the file was
        watches_.erase(found);
    }
}

bool FileChangeMonitor::changed(int32_t watch, uint64_t& seen) {
    if (watch == kNotWatched) {
        return true;
    }
    std::lock_guard hold(lock_);
    drain();
    const auto found = watches_.find(watch);
    if (found == watches_.end()) {
        return true;
    }
    const uint64_t now = found->second.events + overflows_;
    const bool moved = now != seen;
    seen = now;
    return moved;
}

void FileChangeMonitor::drain() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    while (true) {
        const auto read = io::readSome(
            instance_.get(), std::span(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size()));
        if (!read || *read == 0) {
            if (!read && read.error().errnoValue() != EAGAIN) {
                ++overflows_;  // cannot tell: every file counts as changed
            }
            return;
        }
        const size_t got = *read;
        for (size_t at = 0; at + sizeof(inotify_event) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                ++overflows_;
            } else if (const auto found = watches_.find(event.wd); found != watches_.end()) {
                ++found->second.events;
            }
            at += sizeof(inotify_event) + event.len;
        }
    }
}

}  // namespace holm::platform
