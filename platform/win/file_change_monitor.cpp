#include "platform/file_change_monitor.h"

#include <atomic>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/win/open_file_state.h"

// The check is made on the open handle when asked, never from a queue: the
// directory notifier (ReadDirectoryChangesW) reports a rename after the call
// that made it (under Wine once its server has read its own inotify queue),
// so a rename right before a commit would be missed by that commit.

namespace holm::platform {
namespace win {

std::optional<OpenFileState> openFileStateOf(HANDLE handle) {
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        (void)failLastWin32();
        return std::nullopt;
    }
    // Most paths fit the buffer on the stack; a longer one is asked again
    // with room for the longest path the system has.
    alignas(FILE_NAME_INFO) char small[1024];
    std::vector<uint32_t> large;
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(small);
    if (!::GetFileInformationByHandleEx(handle, FileNameInfo, info, sizeof small)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_MORE_DATA) {
            (void)failWin32(error);
            return std::nullopt;
        }
        large.resize((sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t)) / sizeof(uint32_t));
        info = reinterpret_cast<FILE_NAME_INFO*>(large.data());
        if (!::GetFileInformationByHandleEx(handle, FileNameInfo, info,
                                            static_cast<DWORD>(large.size() * sizeof(uint32_t)))) {
            (void)failLastWin32();
            return std::nullopt;
        }
    }
    OpenFileState state;
    state.gone = standard.DeletePending || standard.NumberOfLinks == 0;
    state.name.assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
    return state;
}

namespace {

// Renames and deletes a file of its own, made through other handles as a
// program outside would, and asks the file's first handle after each.
bool handleFollowsRenameAndDelete() {
    static std::atomic<uint32_t> counter{0};
    wchar_t directory[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, directory);
    if (length == 0 || length > MAX_PATH) {
        return false;
    }
    const std::wstring base = std::wstring(directory, length) + L"holm-handle-check-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter.fetch_add(1));
    const std::wstring first = base + L".a";
    const std::wstring second = base + L".b";
    OwnedHandle file(
        nullIfInvalid(::CreateFileW(first.c_str(), GENERIC_READ | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr)));
    if (!file) {
        return false;
    }
    const auto before = openFileStateOf(file.get());
    bool follows = false;
    if (before && !before->gone && ::MoveFileExW(first.c_str(), second.c_str(), 0)) {
        const auto renamed = openFileStateOf(file.get());
        const bool deleted = ::DeleteFileW(second.c_str());
        const auto removed = openFileStateOf(file.get());
        follows = renamed && !renamed->gone && renamed->name != before->name && deleted &&
                  removed && (removed->gone || removed->name != renamed->name);
    }
    // Whatever step failed, the file goes with its handle.
    FILE_DISPOSITION_INFO dispose{TRUE};
    (void)::DeleteFileW(first.c_str());
    (void)::DeleteFileW(second.c_str());
    (void)::SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose);
    return follows;
}

// -1: ask the system; 0, 1: the answer assumed.
std::atomic<int> assumed{-1};

}  // namespace

bool openHandlesFollowTheirFile() {
    if (const int answer = assumed.load(); answer >= 0) {
        return answer != 0;
    }
    static const bool follows = handleFollowsRenameAndDelete();
    return follows;
}

void assumeOpenHandlesFollowTheirFile(std::optional<bool> follows) {
    assumed.store(follows ? static_cast<int>(*follows) : -1);
}

}  // namespace win

// A duplicate of each watched file's handle (so that the watch never asks
// a handle closed or reused behind it) and what it told when last asked.
struct FileChangeMonitor::System {
    std::mutex lock;
    struct Watched {
        win::OwnedHandle handle;
        uint64_t volume = 0;
        uint64_t index = 0;
        win::OpenFileState last;
        uint64_t events = 0;
        int users = 0;  // two descriptors of one file share its watch
    };
    std::map<int32_t, Watched> watches;
    int32_t next = 0;
};

FileChangeMonitor& FileChangeMonitor::process() {
    static FileChangeMonitor* instance = new FileChangeMonitor;  // lives until the process ends
    return *instance;
}

FileChangeMonitor::FileChangeMonitor() : system_(std::make_unique<System>()) {}

FileChangeMonitor::~FileChangeMonitor() = default;

int32_t FileChangeMonitor::watch(int fd) {
    const HANDLE handle = win::handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE || win::kindOf(fd) != win::HandleKind::File ||
        ::GetFileType(handle) != FILE_TYPE_DISK || !win::openHandlesFollowTheirFile()) {
        return kNotWatched;
    }
    // A file on another machine is renamed there without this handle
    // hearing of it.
    FILE_REMOTE_PROTOCOL_INFO remote{};
    remote.StructureVersion = 1;
    remote.StructureSize = sizeof remote;
    if (::GetFileInformationByHandleEx(handle, FileRemoteProtocolInfo, &remote, sizeof remote)) {
        return kNotWatched;
    }
    BY_HANDLE_FILE_INFORMATION identity{};
    if (!::GetFileInformationByHandle(handle, &identity)) {
        return kNotWatched;
    }
    const uint64_t volume = identity.dwVolumeSerialNumber;
    const uint64_t index =
        (static_cast<uint64_t>(identity.nFileIndexHigh) << 32) | identity.nFileIndexLow;

    System& s = *system_;
    std::lock_guard hold(s.lock);
    for (auto& [number, watched] : s.watches) {
        if (watched.volume == volume && watched.index == index) {
            ++watched.users;
            return number;
        }
    }
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &duplicate, 0,
                           FALSE, DUPLICATE_SAME_ACCESS)) {
        return kNotWatched;
    }
    System::Watched watched;
    watched.handle.reset(duplicate);
    const auto state = win::openFileStateOf(duplicate);
    if (!state) {
        return kNotWatched;
    }
    watched.volume = volume;
    watched.index = index;
    watched.last = *state;
    watched.users = 1;
    // Numbers go up from 0 and skip those in use once they wrap.
    int32_t number = s.next;
    while (s.watches.contains(number)) {
        number = number == INT32_MAX ? 0 : number + 1;
    }
    s.next = number == INT32_MAX ? 0 : number + 1;
    s.watches.emplace(number, std::move(watched));
    return number;
}

void FileChangeMonitor::unwatch(int32_t watch) {
    if (watch == kNotWatched) {
        return;
    }
    System& s = *system_;
    std::lock_guard hold(s.lock);
    const auto found = s.watches.find(watch);
    if (found != s.watches.end() && --found->second.users <= 0) {
        s.watches.erase(found);
    }
}

bool FileChangeMonitor::changed(int32_t watch, uint64_t& seen) {
    if (watch == kNotWatched) {
        return true;
    }
    System& s = *system_;
    std::lock_guard hold(s.lock);
    const auto found = s.watches.find(watch);
    if (found == s.watches.end()) {
        return true;
    }
    System::Watched& watched = found->second;
    const auto state = win::openFileStateOf(watched.handle.get());
    if (!state) {
        ++watched.events;  // cannot tell: counts as a change
    } else if (*state != watched.last) {
        ++watched.events;
        watched.last = *state;
    }
    const bool moved = watched.events != seen;
    seen = watched.events;
    return moved;
}

}  // namespace holm::platform
