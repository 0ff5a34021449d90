// Registry key watches over inotify: one watch descriptor per watched key
// directory; subtree watches add the directories of keys as they appear.
#include "registry/registry_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/io.h"
#include "registry/posix/registry_internal.h"

namespace holm::platform::registry {
namespace {

// Everything that changes a key's names or values. Values are replaced by
// rename; in-place writes only come from hand edits. The lock file is
// opened read-only, so locking raises no event.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_EXCL_UNLINK;

}  // namespace

uint32_t KeyWatch::create(const Store& store, Root root, std::u16string_view path, bool subtree,
                          uint32_t filter, KeyWatch& watch) {
    Key key;
    if (uint32_t error = Key::open(store, root, path, key, kKeyNotify)) {
        return error;
    }
    KeyWatch created;
    created.inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!created.inotify_) {
        return errno == EMFILE || errno == ENOMEM ? kErrorNotEnoughMemory : kErrorCantRead;
    }
    created.subtree_ = subtree;
    created.filter_ = filter;
    created.addDirectory(key.directoryFd(), true);
    if (created.topWatch_ < 0) {
        return errno == ENOSPC || errno == ENOMEM ? kErrorNotEnoughMemory : kErrorCantRead;
    }
    if (subtree) {
        created.addSubtree(key.directoryFd());
    }
    watch = std::move(created);
    return kErrorSuccess;
}

// Watches the directory through its descriptor, so the directory watched is
// the one that was opened and checked, whatever its path has become since.
void KeyWatch::addDirectory(int directory, bool top) {
    const std::string path = "/proc/self/fd/" + std::to_string(directory);
    const int wd = ::inotify_add_watch(inotify_.get(), path.c_str(), kWatchMask);
    if (wd < 0) {
        return;  // a key the kernel refuses to watch (limits) is not watched
    }
    directories_[wd].reset(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    if (top) {
        topWatch_ = wd;
    }
}

void KeyWatch::addSubtree(int directory) {
    std::vector<std::string> entries;
    detail::listEntries(directory, detail::isSubkeyEntry, entries);
    for (const auto& entry : entries) {
        UniqueFd subkey;
        if (detail::openTrustedDirectory(directory, entry, subkey) == kErrorSuccess) {
            addDirectory(subkey.get(), false);
            addSubtree(subkey.get());
        }
    }
}

bool KeyWatch::relevant(uint32_t mask, std::string_view name, bool top) {
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        return top;  // a deleted subkey is reported by its parent's entry
    }
    if (detail::isSubkeyEntry(name)) {
        return (filter_ & kNotifyName) != 0;
    }
    if (detail::isValueEntry(name)) {
        return (filter_ & kNotifyLastSet) != 0;
    }
    return false;  // the store's own entries and anything unknown
}

bool KeyWatch::consume() {
    if (!armed_ || !valid()) {
        return false;
    }
    bool fired = false;
    alignas(inotify_event) char buffer[16 * 1024];
    while (true) {
        const auto got = io::readSome(inotify_.get(),
                                      std::span(reinterpret_cast<uint8_t*>(buffer), sizeof buffer));
        if (!got || *got == 0) {
            break;  // drained (EAGAIN)
        }
        const size_t length = *got;
        for (size_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += sizeof(inotify_event) + event->len;
            const std::string_view name = event->len ? event->name : "";
            if (event->mask & IN_Q_OVERFLOW) {
                // Changes were lost: report, and pick up keys that were missed.
                fired = true;
                if (subtree_ && directories_.count(topWatch_)) {
                    addSubtree(directories_[topWatch_].get());
                }
                continue;
            }
            if (event->mask & IN_IGNORED) {
                directories_.erase(event->wd);
                continue;
            }
            fired = relevant(event->mask, name, event->wd == topWatch_) || fired;
            const bool newKey = (event->mask & (IN_CREATE | IN_MOVED_TO)) &&
                                (event->mask & IN_ISDIR) && detail::isSubkeyEntry(name);
            const auto parent = directories_.find(event->wd);
            if (subtree_ && newKey && parent != directories_.end()) {
                UniqueFd subkey;
                if (detail::openTrustedDirectory(parent->second.get(), std::string(name), subkey) ==
                    kErrorSuccess) {
                    addDirectory(subkey.get(), false);
                    addSubtree(subkey.get());
                }
            }
        }
    }
    if (fired) {
        armed_ = false;
    }
    return fired;
}

}  // namespace holm::platform::registry
