// Directory change notification over inotify.
#include "platform/change_notifier.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "platform/io.h"
#include "platform/posix/directory_stream.h"

namespace holm::platform {
namespace {

// Entries created, removed, renamed or written (the size and the last write
// change with a write), and the directory itself going away.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

uint32_t translate(uint32_t mask) {
    uint32_t what = 0;
    if (mask & IN_Q_OVERFLOW) {
        what |= kChangeOverflow;
    }
    if (mask & IN_IGNORED) {
        what |= kChangeWatchEnded;
    }
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        what |= kChangeSelfGone;
    }
    if (mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE)) {
        what |= kChangeEntry;
        if ((mask & IN_ISDIR) && (mask & (IN_CREATE | IN_MOVED_TO))) {
            what |= kChangeDirectoryAdded;
        }
    }
    return what;
}

std::optional<uint64_t> readLimit(const char* name) {
    auto text = io::readSmallFile(std::string("/proc/sys/fs/inotify/") + name, 64);
    if (!text) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text->c_str(), &end, 10);
    if (end == text->c_str()) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(value);
}

}  // namespace

// inotify keeps every watch in the kernel: no state beside the descriptor.
struct ChangeNotifier::System {};

ChangeNotifier::ChangeNotifier(UniqueFd fd, std::unique_ptr<System> system)
    : fd_(std::move(fd)), system_(std::move(system)) {}
ChangeNotifier::~ChangeNotifier() = default;
ChangeNotifier::ChangeNotifier(ChangeNotifier&& other) noexcept = default;
ChangeNotifier& ChangeNotifier::operator=(ChangeNotifier&& other) noexcept = default;

Result<ChangeNotifier> ChangeNotifier::open() {
    UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) {
        return lastSystemError();
    }
    return ChangeNotifier(std::move(fd), nullptr);
}

Result<int> ChangeNotifier::watch(const std::string& path, bool followLink) {
    const uint32_t mask = kWatchMask | (followLink ? 0 : IN_DONT_FOLLOW);
    const int wd = ::inotify_add_watch(fd_.get(), path.c_str(), mask);
    if (wd < 0) {
        return lastSystemError();
    }
    return wd;
}

void ChangeNotifier::unwatch(int watch) {
    (void)::inotify_rm_watch(fd_.get(), watch);  // EINVAL: the kernel dropped it already
}

Status ChangeNotifier::read(std::vector<ChangeEvent>& events) {
    alignas(inotify_event) uint8_t buffer[64 * 1024];
    for (;;) {
        const auto got = io::readSome(fd_.get(), std::span(buffer, sizeof buffer));
        if (!got) {
            return got.error().errnoValue() == EAGAIN ? Status() : Status(got.error());
        }
        if (*got == 0) {
            return {};
        }
        const size_t length = *got;
        for (size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            const size_t size = sizeof(inotify_event) + event->len;
            if (offset + size > length) {
                break;  // the kernel never splits an event; stay inside the buffer anyway
            }
            ChangeEvent& added = events.emplace_back();
            added.watch = event->wd;
            added.what = translate(event->mask);
            if (event->len > 0) {
                added.name.assign(event->name, ::strnlen(event->name, event->len));
            }
            offset += size;
        }
    }
}

ChangeNotifierLimits changeNotifierLimits() {
    return {readLimit("max_user_watches"), readLimit("max_queued_events")};
}

std::vector<std::string> subdirectoryNames(const std::string& path) {
    std::vector<std::string> names;
    const UniqueDir dir =
        streamOver(io::open(path, {.directory = true, .followLink = true}).valueOr({}));
    if (!dir) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
                type = S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
            }
        }
        if (type == DT_DIR) {
            names.emplace_back(name);
        }
    }
    return names;
}

}  // namespace holm::platform
