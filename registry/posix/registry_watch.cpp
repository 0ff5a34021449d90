// Registry key watches over inotify: one instance per set, one watch
// descriptor per watched key directory (shared by the set's watches that
// cover it); subtree watches add the directories of keys as they appear.
#include "registry/registry_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/io.h"
#include "registry/posix/registry_internal.h"

namespace holm::registry {
namespace {

// Everything that changes a key's names or values. Values are replaced by
// rename; in-place writes only come from hand edits. The lock file is
// opened read-only, so locking raises no event.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_EXCL_UNLINK;

// A refusal of the kernel's notification facility, with the Windows number
// of the limit it hit.
platform::Error watchFailure(int error) {
    return platform::Error::windows(platform::windowsErrorFromWatchErrno(error), error);
}

}  // namespace

// The set's inotify instance and its watches.
struct KeyWatchSet::System {
    struct Watch {
        int top = -1;
        std::set<int> directories;  // kernel watch descriptors
        bool subtree = false;
        uint32_t filter = 0;
        bool armed = true;
        bool pending = false;
    };
    struct Directory {
        platform::UniqueFd fd;  // the watched key directory
        std::vector<uint64_t> owners;
    };

    platform::Result<uint64_t> add(const Store& store, Root root, std::u16string_view path,
                                   bool subtree, uint32_t filter);
    void remove(uint64_t id);
    std::vector<uint64_t> consume();
    void rearm(uint64_t id);
    bool armed(uint64_t id) const;
    bool intact(uint64_t id) const;
    int addDirectory(uint64_t id, int directory);
    void addSubtree(uint64_t id, int directory);
    void directoryGone(int descriptor);
    static bool relevant(const Watch& watch, uint32_t mask, std::string_view name, bool top);

    platform::UniqueFd inotify;
    std::map<uint64_t, Watch> watches;
    std::map<int, Directory> directories;  // by kernel watch descriptor
    uint64_t nextId = 1;
};

platform::Result<uint64_t> KeyWatchSet::System::add(const Store& store, Root root,
                                                    std::u16string_view path, bool subtree,
                                                    uint32_t filter) {
    const auto key = Key::open(store, root, path, kKeyNotify);
    if (!key) {
        return key.error();
    }
    const int directory = key->state()->directory.get();
    if (!inotify) {
        inotify.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!inotify) {
            return watchFailure(errno);
        }
    }
    const uint64_t created = nextId++;
    Watch& watch = watches[created];
    watch.subtree = subtree;
    watch.filter = filter;
    watch.top = addDirectory(created, directory);
    if (watch.top < 0) {
        const int error = errno;
        remove(created);
        return watchFailure(error);
    }
    if (subtree) {
        addSubtree(created, directory);
    }
    return created;
}

void KeyWatchSet::System::remove(uint64_t id) {
    auto found = watches.find(id);
    if (found == watches.end()) {
        return;
    }
    for (int descriptor : found->second.directories) {
        auto directory = directories.find(descriptor);
        if (directory == directories.end()) {
            continue;
        }
        std::erase(directory->second.owners, id);
        if (directory->second.owners.empty()) {
            (void)::inotify_rm_watch(inotify.get(), descriptor);
            directories.erase(directory);
        }
    }
    watches.erase(found);
}

// Watches the directory through its descriptor, so the directory watched is
// the one that was opened and checked, whatever its path has become since.
// The kernel gives a directory already watched by the instance its existing
// descriptor: the watch then joins its owners. -1 when refused (limits).
int KeyWatchSet::System::addDirectory(uint64_t id, int directory) {
    const std::string path = "/proc/self/fd/" + std::to_string(directory);
    const int descriptor = ::inotify_add_watch(inotify.get(), path.c_str(), kWatchMask);
    if (descriptor < 0) {
        return -1;
    }
    Directory& watched = directories[descriptor];
    if (!watched.fd) {
        watched.fd.reset(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    }
    if (std::find(watched.owners.begin(), watched.owners.end(), id) == watched.owners.end()) {
        watched.owners.push_back(id);
    }
    watches[id].directories.insert(descriptor);
    return descriptor;
}

// A key the kernel refuses to watch (limits) is left unwatched.
void KeyWatchSet::System::addSubtree(uint64_t id, int directory) {
    const auto entries = detail::listEntries(directory, detail::isSubkeyEntry);
    for (const auto& entry : entries.valueOr({})) {
        const auto subkey = detail::openTrustedDirectory(directory, entry);
        if (subkey && addDirectory(id, subkey->get()) >= 0) {
            addSubtree(id, subkey->get());
        }
    }
}

void KeyWatchSet::System::directoryGone(int descriptor) {
    auto found = directories.find(descriptor);
    if (found == directories.end()) {
        return;
    }
    for (uint64_t owner : found->second.owners) {
        Watch& watch = watches.at(owner);
        watch.directories.erase(descriptor);
        if (watch.top == descriptor) {
            watch.top = -1;
        }
    }
    directories.erase(found);
}

bool KeyWatchSet::System::relevant(const Watch& watch, uint32_t mask, std::string_view name,
                                   bool top) {
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        return top;  // a deleted subkey is reported by its parent's entry
    }
    if (detail::isSubkeyEntry(name)) {
        return (watch.filter & kNotifyName) != 0;
    }
    if (detail::isValueEntry(name)) {
        return (watch.filter & kNotifyLastSet) != 0;
    }
    return false;  // the store's own entries and anything unknown
}

std::vector<uint64_t> KeyWatchSet::System::consume() {
    std::set<uint64_t> changed;
    alignas(inotify_event) char buffer[16 * 1024];
    while (inotify.valid()) {
        const auto got = platform::io::readSome(
            inotify.get(), std::span(reinterpret_cast<uint8_t*>(buffer), sizeof buffer));
        if (!got || *got == 0) {
            break;  // drained (EAGAIN)
        }
        const size_t length = *got;
        for (size_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += sizeof(inotify_event) + event->len;
            const std::string_view name = event->len ? event->name : "";
            if (event->mask & IN_Q_OVERFLOW) {
                // Changes were lost: report every watch, and pick up keys
                // that were missed.
                for (auto& [id, watch] : watches) {
                    changed.insert(id);
                    if (watch.subtree && directories.count(watch.top)) {
                        addSubtree(id, directories[watch.top].fd.get());
                    }
                }
                continue;
            }
            if (event->mask & IN_IGNORED) {
                directoryGone(event->wd);
                continue;
            }
            const auto parent = directories.find(event->wd);
            if (parent == directories.end()) {
                continue;  // a directory no longer watched
            }
            const bool newKey = (event->mask & (IN_CREATE | IN_MOVED_TO)) &&
                                (event->mask & IN_ISDIR) && detail::isSubkeyEntry(name);
            // Copies: watching a new key below may add directories.
            const std::vector<uint64_t> owners = parent->second.owners;
            const int parentFd = parent->second.fd.get();
            for (uint64_t id : owners) {
                const Watch& watch = watches.at(id);
                if (relevant(watch, event->mask, name, event->wd == watch.top)) {
                    changed.insert(id);
                }
                if (watch.subtree && newKey) {
                    const auto subkey = detail::openTrustedDirectory(parentFd, std::string(name));
                    if (subkey && addDirectory(id, subkey->get()) >= 0) {
                        addSubtree(id, subkey->get());
                    }
                }
            }
        }
    }
    std::vector<uint64_t> fired;
    for (auto& [id, watch] : watches) {
        if (changed.count(id) == 0 && !watch.pending) {
            continue;
        }
        if (watch.armed) {
            watch.armed = false;
            watch.pending = false;
            fired.push_back(id);
        } else {
            watch.pending = true;
        }
    }
    return fired;
}

void KeyWatchSet::System::rearm(uint64_t id) {
    if (auto found = watches.find(id); found != watches.end()) {
        found->second.armed = true;
    }
}

bool KeyWatchSet::System::armed(uint64_t id) const {
    auto found = watches.find(id);
    return found != watches.end() && found->second.armed;
}

bool KeyWatchSet::System::intact(uint64_t id) const {
    auto found = watches.find(id);
    return found != watches.end() && found->second.top >= 0;
}

KeyWatchSet::KeyWatchSet() : system_(std::make_unique<System>()) {}
KeyWatchSet::~KeyWatchSet() = default;
KeyWatchSet::KeyWatchSet(KeyWatchSet&& other) noexcept = default;
KeyWatchSet& KeyWatchSet::operator=(KeyWatchSet&& other) noexcept = default;

platform::Result<uint64_t> KeyWatchSet::add(const Store& store, Root root, std::u16string_view path,
                                            bool subtree, uint32_t filter) {
    return system_->add(store, root, path, subtree, filter);
}

void KeyWatchSet::remove(uint64_t id) {
    system_->remove(id);
}

bool KeyWatchSet::valid() const {
    return system_ && system_->inotify.valid();
}

int KeyWatchSet::fd() const {
    return system_ ? system_->inotify.get() : -1;
}

std::vector<uint64_t> KeyWatchSet::consume() {
    return system_->consume();
}

void KeyWatchSet::rearm(uint64_t id) {
    system_->rearm(id);
}

bool KeyWatchSet::armed(uint64_t id) const {
    return system_->armed(id);
}

bool KeyWatchSet::intact(uint64_t id) const {
    return system_->intact(id);
}

size_t KeyWatchSet::size() const {
    return system_->watches.size();
}

}  // namespace holm::registry
