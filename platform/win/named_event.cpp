// Named events on Windows are the system's event objects, "Global\<name>"
// with the name A-Z folded (so names that differ in case are one event),
// manual-reset. Every watcher of a name in this process and in others holds
// the same object: a set wakes each of them that waits, and the watcher that
// handles it resets it. The directory of the other systems plays no part.
//
// Access: everyone may wait for the event and set it (SYNCHRONIZE,
// EVENT_MODIFY_STATE), nothing more; the system and administrators have full
// access. A null access list would let any user change the event's owner
// and access list, and so lock the service out of its own event.
#include "platform/named_event.h"

#include <cerrno>

#include "common/utf16.h"
#include "platform/win/native.h"
// After <windows.h>, which native.h includes.
#include <sddl.h>

namespace holm::platform {
namespace {

constexpr wchar_t kEventAccess[] =
    L"D:(A;;0x00100002;;;WD)(A;;0x001F0003;;;SY)(A;;0x001F0003;;;BA)";

// The object's name: the event name, or for a name given by its hashes the
// file name itself.
std::wstring objectName(const std::string& fileName) {
    std::u16string name = namedEventNameOf(fileName);
    if (name.empty()) {
        name = common::utf8ToUtf16(fileName);
    }
    return L"Global\\" + std::wstring(name.begin(), name.end());
}

}  // namespace

NamedEventWatch::~NamedEventWatch() {
    remove();
}

NamedEventWatch& NamedEventWatch::operator=(NamedEventWatch&& other) noexcept {
    if (this != &other) {
        remove();
        fd_ = std::move(other.fd_);
        path_ = std::move(other.path_);
    }
    return *this;
}

void NamedEventWatch::remove() {
    fd_.reset();
}

Result<NamedEventWatch> NamedEventWatch::open(const std::string&, const std::string& fileName) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kEventAccess, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return win::lastWin32Error();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    // Opens the event when it exists already; only the rights every user
    // has are asked for, so a watch opens whoever made the event.
    HANDLE event = ::CreateEventExW(&attributes, objectName(fileName).c_str(),
                                    CREATE_EVENT_MANUAL_RESET, SYNCHRONIZE | EVENT_MODIFY_STATE);
    const DWORD failure = ::GetLastError();
    ::LocalFree(descriptor);
    if (event == nullptr) {
        return win::win32Error(failure);
    }
    const int fd = win::adoptHandle(event, win::HandleKind::Event);
    if (fd < 0) {
        return lastSystemError();
    }
    NamedEventWatch watch;
    watch.fd_.reset(fd);
    return watch;
}

void drainNamedEvent(int watchFd) {
    HANDLE event = win::handleOf(watchFd);
    if (event != INVALID_HANDLE_VALUE) {
        ::ResetEvent(event);
    }
}

NamedEventSet setNamedEvent(const std::string&, const std::string& fileName) {
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, objectName(fileName).c_str());
    if (event == nullptr) {
        const DWORD failure = ::GetLastError();
        if (failure == ERROR_FILE_NOT_FOUND) {
            return NamedEventSet::NoWatcher;  // the object lives while a watcher holds it
        }
        win::failWin32(failure);
        return NamedEventSet::Failed;
    }
    const bool set = ::SetEvent(event) != 0;
    const DWORD failure = ::GetLastError();
    ::CloseHandle(event);
    if (!set) {
        win::failWin32(failure);
        return NamedEventSet::Failed;
    }
    return NamedEventSet::Set;
}

}  // namespace holm::platform
