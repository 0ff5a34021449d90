// Directory change notification over ReadDirectoryChangesW.
//
// Each watch is one directory handle with a read of its changes always
// outstanding (overlapped, completed through the thread pool's I/O): the
// completion parses the changes into the notifier's queue, issues the next
// read at once (the system keeps what happens in between for it) and sets
// the notifier's event, which is the descriptor callers wait on. Only the
// directory itself is watched, not its subtree, as with inotify: the
// directory worker watches every directory of a subtree itself. A read that
// finds the system's buffer overflowed reports an overflow; one that fails
// (the directory went away) ends the watch.
#include "platform/change_notifier.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <map>
#include <mutex>
#include <utility>

#include "platform/file_system.h"
#include "platform/win/native.h"

namespace holm::platform {

namespace {

constexpr DWORD kWatchedChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                  FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
// Per directory: what the system keeps between two reads. A burst larger
// than this is an overflow (every watcher looks again), and ten thousand
// watches hold 40 MiB.
constexpr size_t kChangeBuffer = 4096;

}  // namespace

struct DirectoryChangeWatch {
    ChangeNotifier::System* system = nullptr;
    int id = 0;
    std::wstring path;
    HANDLE directory = INVALID_HANDLE_VALUE;
    PTP_IO io = nullptr;
    OVERLAPPED overlapped{};
    // Unwatched or failed: its completions report nothing more.
    bool ended = false;
    alignas(DWORD) std::array<unsigned char, kChangeBuffer> buffer{};
};

struct ChangeNotifier::System {
    ~System();
    void release(std::unique_ptr<DirectoryChangeWatch> watch);
    std::vector<std::unique_ptr<DirectoryChangeWatch>> takeDropped();

    std::mutex lock;
    HANDLE ready = nullptr;  // the event behind the notifier's descriptor
    std::map<int, std::unique_ptr<DirectoryChangeWatch>> watches;
    std::map<std::pair<uint64_t, uint64_t>, int> byIdentity;
    std::vector<int> dropped;  // failed watches, released outside a callback
    std::vector<ChangeEvent> pending;
    int nextId = 1;
};

namespace {

using Watch = DirectoryChangeWatch;

bool issueRead(Watch& watch) {
    ::StartThreadpoolIo(watch.io);
    watch.overlapped = OVERLAPPED{};
    if (!::ReadDirectoryChangesW(watch.directory, watch.buffer.data(),
                                 static_cast<DWORD>(watch.buffer.size()), FALSE, kWatchedChanges,
                                 nullptr, &watch.overlapped, nullptr)) {
        ::CancelThreadpoolIo(watch.io);
        return false;
    }
    return true;
}

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void parse(Watch& watch, size_t size, std::vector<ChangeEvent>& out) {
    // A record is its header and its name, which may end before the
    // structure's own size would (a one-letter name).
    constexpr size_t kHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    size_t offset = 0;
    while (offset + kHeader <= size) {
        const auto* info =
            reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.buffer.data() + offset);
        const size_t units = info->FileNameLength / sizeof(wchar_t);
        if (kHeader + info->FileNameLength > size - offset) {
            break;  // never past what the system wrote
        }
        const std::wstring_view name(info->FileName, units);
        ChangeEvent event;
        event.watch = watch.id;
        event.what = kChangeEntry;
        if ((info->Action == FILE_ACTION_ADDED || info->Action == FILE_ACTION_RENAMED_NEW_NAME) &&
            isDirectory(watch.path + L'\\' + std::wstring(name))) {
            event.what |= kChangeDirectoryAdded;
        }
        event.name = win::narrow(name);
        out.push_back(std::move(event));
        if (info->NextEntryOffset == 0) {
            break;
        }
        offset += info->NextEntryOffset;
    }
}

void CALLBACK onChanges(PTP_CALLBACK_INSTANCE, PVOID context, PVOID, ULONG result, ULONG_PTR bytes,
                        PTP_IO) {
    auto& watch = *static_cast<Watch*>(context);
    ChangeNotifier::System& system = *watch.system;
    std::lock_guard guard(system.lock);
    if (watch.ended) {
        return;
    }
    if (result == NO_ERROR && bytes > 0) {
        parse(watch, bytes, system.pending);
    } else if (result == NO_ERROR || result == ERROR_NOTIFY_ENUM_DIR) {
        // More changed than the buffer holds: report an overflow (once).
        if (system.pending.empty() || system.pending.back().what != kChangeOverflow) {
            system.pending.push_back({-1, kChangeOverflow, {}});
        }
    }
    if ((result != NO_ERROR && result != ERROR_NOTIFY_ENUM_DIR) || !issueRead(watch)) {
        // The directory is gone (or no longer readable): the watch ends.
        watch.ended = true;
        system.pending.push_back({watch.id, kChangeSelfGone | kChangeWatchEnded, {}});
        system.dropped.push_back(watch.id);
    }
    ::SetEvent(system.ready);
}

std::pair<uint64_t, uint64_t> identityOf(HANDLE handle, bool& directory, bool& link) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        directory = false;
        return {};
    }
    directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return {info.dwVolumeSerialNumber,
            (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

// Ends a watch that left the tables: its outstanding read is cancelled and
// its completion waited for before the handle and the buffer go.
void ChangeNotifier::System::release(std::unique_ptr<DirectoryChangeWatch> watch) {
    ::CancelIoEx(watch->directory, &watch->overlapped);
    ::WaitForThreadpoolIoCallbacks(watch->io, FALSE);
    ::CloseThreadpoolIo(watch->io);
    ::CloseHandle(watch->directory);
}

// The failed watches, out of the tables; the lock is held.
std::vector<std::unique_ptr<DirectoryChangeWatch>> ChangeNotifier::System::takeDropped() {
    std::vector<std::unique_ptr<DirectoryChangeWatch>> taken;
    for (int id : std::exchange(dropped, {})) {
        auto found = watches.find(id);
        if (found == watches.end()) {
            continue;
        }
        std::erase_if(byIdentity, [&](const auto& entry) { return entry.second == id; });
        taken.push_back(std::move(found->second));
        watches.erase(found);
    }
    return taken;
}

ChangeNotifier::System::~System() {
    std::map<int, std::unique_ptr<DirectoryChangeWatch>> left;
    {
        std::lock_guard guard(lock);
        left.swap(watches);
        for (auto& [id, watch] : left) {
            watch->ended = true;
        }
    }
    for (auto& [id, watch] : left) {
        release(std::move(watch));
    }
}

ChangeNotifier::ChangeNotifier(UniqueFd fd, std::unique_ptr<System> system)
    : fd_(std::move(fd)), system_(std::move(system)) {}
ChangeNotifier::~ChangeNotifier() = default;
ChangeNotifier::ChangeNotifier(ChangeNotifier&& other) noexcept = default;
ChangeNotifier& ChangeNotifier::operator=(ChangeNotifier&& other) noexcept = default;

Result<ChangeNotifier> ChangeNotifier::open() {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        return win::lastWin32Error();
    }
    const int fd = win::adoptHandle(event, win::HandleKind::Event);
    if (fd < 0) {
        return lastSystemError();
    }
    auto system = std::make_unique<System>();
    system->ready = event;
    return ChangeNotifier(UniqueFd(fd), std::move(system));
}

Result<int> ChangeNotifier::watch(const std::string& path, bool followLink) {
    auto watch = std::make_unique<Watch>();
    watch->system = system_.get();
    watch->path = win::nativePath(path);
    watch->directory = ::CreateFileW(watch->path.c_str(), FILE_LIST_DIRECTORY,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED |
                                         (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                                     nullptr);
    if (watch->directory == INVALID_HANDLE_VALUE) {
        return win::lastWin32Error();
    }
    bool directory = false;
    bool link = false;
    const auto identity = identityOf(watch->directory, directory, link);
    if (!directory || (link && !followLink)) {
        ::CloseHandle(watch->directory);
        return Error::fromErrno(link && !followLink ? ELOOP : ENOTDIR);
    }
    std::vector<std::unique_ptr<Watch>> dropped;
    Result<int> result = 0;
    {
        std::lock_guard guard(system_->lock);
        dropped = system_->takeDropped();
        if (auto known = system_->byIdentity.find(identity); known != system_->byIdentity.end()) {
            // The same directory by another path: one watch, one number.
            ::CloseHandle(watch->directory);
            result = known->second;
        } else {
            watch->id = system_->nextId++;
            watch->io = ::CreateThreadpoolIo(watch->directory, onChanges, watch.get(), nullptr);
            if (watch->io == nullptr || !issueRead(*watch)) {
                result = win::lastWin32Error();
                if (watch->io != nullptr) {
                    ::CloseThreadpoolIo(watch->io);
                }
                ::CloseHandle(watch->directory);
            } else {
                result = watch->id;
                system_->byIdentity.emplace(identity, watch->id);
                system_->watches.emplace(watch->id, std::move(watch));
            }
        }
    }
    for (auto& gone : dropped) {
        system_->release(std::move(gone));
    }
    return result;
}

void ChangeNotifier::unwatch(int id) {
    std::vector<std::unique_ptr<Watch>> ending;
    {
        std::lock_guard guard(system_->lock);
        ending = system_->takeDropped();
        auto found = system_->watches.find(id);
        if (found != system_->watches.end()) {
            found->second->ended = true;
            std::erase_if(system_->byIdentity,
                          [&](const auto& entry) { return entry.second == id; });
            ending.push_back(std::move(found->second));
            system_->watches.erase(found);
        }
    }
    for (auto& watch : ending) {
        system_->release(std::move(watch));
    }
}

Status ChangeNotifier::read(std::vector<ChangeEvent>& events) {
    std::vector<std::unique_ptr<Watch>> dropped;
    {
        std::lock_guard guard(system_->lock);
        // Reset under the lock: a completion sets it again after this.
        ::ResetEvent(system_->ready);
        events.insert(events.end(), std::make_move_iterator(system_->pending.begin()),
                      std::make_move_iterator(system_->pending.end()));
        system_->pending.clear();
        dropped = system_->takeDropped();
    }
    for (auto& watch : dropped) {
        system_->release(std::move(watch));
    }
    return {};
}

ChangeNotifierLimits changeNotifierLimits() {
    return {};
}

std::vector<std::string> subdirectoryNames(const std::string& path) {
    std::vector<std::string> names;
    auto entries = enumerate(path, "*");
    if (entries) {
        for (DirectoryEntry& entry : *entries) {
            if (entry.type == FileType::kDirectory) {
                names.push_back(std::move(entry.name));
            }
        }
    }
    return names;
}

}  // namespace holm::platform
