#include "platform/local_event.h"

#include "platform/win/native.h"

namespace holm::platform {

Result<UniqueFd> createLocalEvent(bool initiallySet) {
    HANDLE event = ::CreateEventW(nullptr, TRUE, initiallySet ? TRUE : FALSE, nullptr);
    if (event == nullptr) {
        return win::lastWin32Error();
    }
    const int fd = win::adoptHandle(event, win::HandleKind::Event);
    if (fd < 0) {
        return lastSystemError();
    }
    return UniqueFd(fd);
}

Status setLocalEvent(int event) {
    HANDLE handle = win::handleOf(event);
    if (handle == INVALID_HANDLE_VALUE || win::kindOf(event) != win::HandleKind::Event) {
        return Error::fromErrno(EBADF);
    }
    if (!::SetEvent(handle)) {
        return win::lastWin32Error();
    }
    return {};
}

bool isLocalEventSet(int event) {
    return win::kindOf(event) == win::HandleKind::Event &&
           ::WaitForSingleObject(win::handleOf(event), 0) == WAIT_OBJECT_0;
}

}  // namespace holm::platform
