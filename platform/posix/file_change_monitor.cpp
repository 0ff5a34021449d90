#include "platform/file_change_monitor.h"

#include <sys/inotify.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <string>

#include "platform/io.h"
#include "platform/unique_handle.h"

namespace holm::platform {

// One inotify instance; the events each watch has seen so far.
struct FileChangeMonitor::System {
    void drain();

    std::mutex lock;
    UniqueFd instance{inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    struct Watched {
        uint64_t events = 0;
        int users = 0;  // two names of one file share its watch
    };
    std::map<int32_t, Watched> watches;
    uint64_t overflows = 0;  // lost events count for every watch
};

FileChangeMonitor& FileChangeMonitor::process() {
    static FileChangeMonitor monitor;
    return monitor;
}

FileChangeMonitor::FileChangeMonitor() : system_(std::make_unique<System>()) {}

FileChangeMonitor::~FileChangeMonitor() = default;

int32_t FileChangeMonitor::watch(int fd) {
    System& s = *system_;
    if (!s.instance.valid()) {
        return kNotWatched;
    }
    // The descriptor's entry in /proc names the open file itself.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    std::lock_guard hold(s.lock);
    const int watch = inotify_add_watch(s.instance.get(), self.c_str(),
                                        IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
    if (watch < 0) {
        return kNotWatched;
    }
    ++s.watches[watch].users;
    return watch;
}

void FileChangeMonitor::unwatch(int32_t watch) {
    if (watch == kNotWatched) {
        return;
    }
    System& s = *system_;
    std::lock_guard hold(s.lock);
    const auto found = s.watches.find(watch);
    if (found != s.watches.end() && --found->second.users <= 0) {
        (void)inotify_rm_watch(s.instance.get(), watch);  // gone already if the file was
        s.watches.erase(found);
    }
}

bool FileChangeMonitor::changed(int32_t watch, uint64_t& seen) {
    if (watch == kNotWatched) {
        return true;
    }
    System& s = *system_;
    std::lock_guard hold(s.lock);
    s.drain();
    const auto found = s.watches.find(watch);
    if (found == s.watches.end()) {
        return true;
    }
    const uint64_t now = found->second.events + s.overflows;
    const bool moved = now != seen;
    seen = now;
    return moved;
}

void FileChangeMonitor::System::drain() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    while (true) {
        const auto read = io::readSome(
            instance.get(), std::span(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size()));
        if (!read || *read == 0) {
            if (!read && read.error().errnoValue() != EAGAIN) {
                ++overflows;  // cannot tell: every file counts as changed
            }
            return;
        }
        const size_t got = *read;
        for (size_t at = 0; at + sizeof(inotify_event) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                ++overflows;
            } else if (const auto found = watches.find(event.wd); found != watches.end()) {
                ++found->second.events;
            }
            at += sizeof(inotify_event) + event.len;
        }
    }
}

}  // namespace holm::platform
