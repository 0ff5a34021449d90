// The thread's last error and Win32 numbers on Windows, where they are the
// system's own. The errno mapping itself is the portable one (errors.cpp);
// here only the way back, for callers that test errno values.
#include "platform/errors.h"

#include <cerrno>

#include "platform/result.h"
#include "platform/win/native.h"

namespace holm::platform {
namespace {

thread_local uint32_t threadLastError = WinError::kSuccess;

// The Win32 number of this thread's last failed call, and the errno value
// it was given: lastSystemError() reports the number while errno still
// holds that value (a later failure that only set errno is reported by
// errno alone).
struct NativeFailure {
    DWORD code = 0;
    int errnoValue = 0;
};
thread_local NativeFailure lastNative;

}  // namespace

uint32_t lastError() noexcept {
    return threadLastError;
}

void setLastError(uint32_t error) noexcept {
    threadLastError = error;
    // Also the system's own last error, for a plugin that asks the system
    // right after a call of ours.
    ::SetLastError(error);
}

uint32_t setLastErrorFromErrno() noexcept {
    uint32_t error = windowsErrorFromErrno(errno);
    setLastError(error);
    return error;
}

Error lastSystemError() noexcept {
    const int error = errno;
    if (lastNative.code != 0 && lastNative.errnoValue == error) {
        return Error::windows(lastNative.code, error);
    }
    return Error::fromErrno(error);
}

namespace win {

int errnoFromWin32(DWORD code) noexcept {
    switch (code) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_MOD_NOT_FOUND:
            return ENOENT;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
        case ERROR_INVALID_ACCESS:
        case ERROR_CANT_ACCESS_FILE:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
            return EBUSY;
        case ERROR_LOCK_VIOLATION:
            return EAGAIN;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_COMMITMENT_LIMIT:
            return ENOMEM;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_NEGATIVE_SEEK:
            return EINVAL;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_BUSY:
            return EBUSY;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILE_TOO_LARGE:
            return EFBIG;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_BAD_EXE_FORMAT:
            return ENOEXEC;
        case ERROR_NOT_SUPPORTED:
        case ERROR_CALL_NOT_IMPLEMENTED:
            return ENOTSUP;
        case ERROR_TIMEOUT:
        case WAIT_TIMEOUT:
            return ETIMEDOUT;
        case ERROR_OPERATION_ABORTED:
            return ECANCELED;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return EPIPE;
        case ERROR_INSUFFICIENT_BUFFER:
            return ERANGE;
        case ERROR_ARITHMETIC_OVERFLOW:
            return EOVERFLOW;
        case ERROR_NO_UNICODE_TRANSLATION:
            return EILSEQ;
        case ERROR_NOACCESS:
            return EFAULT;
        case ERROR_CANT_RESOLVE_FILENAME:
            return ELOOP;
        default:
            return EIO;
    }
}

int failWin32(DWORD code) noexcept {
    const int error = errnoFromWin32(code);
    lastNative = {code, error};
    errno = error;
    return -1;
}

int failErrno(int error) noexcept {
    lastNative = {};
    errno = error;
    return -1;
}

int failLastWin32() noexcept {
    return failWin32(::GetLastError());
}

Error win32Error(DWORD code) noexcept {
    return Error::windows(code, errnoFromWin32(code));
}

Error lastWin32Error() noexcept {
    return win32Error(::GetLastError());
}

}  // namespace win
}  // namespace holm::platform
