// The one mapping of errno values to Windows error numbers, shared by every
// backend (the C library of each system reports errno values).
#include "platform/errors.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/result.h"

namespace holm::platform {

uint32_t windowsErrorFromWatchErrno(int err) noexcept {
    return err == ENOSPC ? WinError::kNoSystemResources : windowsErrorFromErrno(err);
}

uint32_t windowsErrorFromErrno(int err) noexcept {
    switch (err) {
        case 0:
            return WinError::kSuccess;
        case ENOENT:
            return WinError::kFileNotFound;
        case ENOTDIR:
            return WinError::kPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:  // Windows refuses to open a directory as a file with "access denied".
        case ELOOP:   // Our opens never follow links: a link where a file was expected is refused.
            return WinError::kAccessDenied;
        case EROFS:
            return WinError::kWriteProtect;
        case ENOMEM:
            return WinError::kNotEnoughMemory;
        case EEXIST:
            return WinError::kFileExists;
        case EINVAL:
        case ESRCH:  // Windows reports an unknown process id as an invalid parameter.
        case E2BIG:
            return WinError::kInvalidParameter;
        case EBADF:
            return WinError::kInvalidHandle;
        case ENOTEMPTY:
            return WinError::kDirNotEmpty;
        case EBUSY:
        case ETXTBSY:
            return WinError::kSharingViolation;
        case EAGAIN:  // Non-blocking locks report a held lock as EAGAIN/EWOULDBLOCK.
        case EDEADLK:
        case ENOLCK:
            return WinError::kLockViolation;
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return WinError::kDiskFull;
        case EFBIG:
            return WinError::kFileTooLarge;
        case ENAMETOOLONG:
            return WinError::kFilenameExcedRange;
        case EMFILE:
        case ENFILE:
            return WinError::kTooManyOpenFiles;
        case ENOEXEC:
#ifdef ELIBBAD
        case ELIBBAD:
#endif
            return WinError::kBadExeFormat;
        case ENOSYS:
        case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
        case EOPNOTSUPP:
#endif
            return WinError::kNotSupported;
        case ETIMEDOUT:
            return WinError::kTimeout;
        case EINTR:
        case ECANCELED:
            return WinError::kOperationAborted;
        case EXDEV:
            return WinError::kNotSameDevice;
        case EPIPE:
            return WinError::kBrokenPipe;
        case ERANGE:
            return WinError::kInsufficientBuffer;
        case EOVERFLOW:
            return WinError::kArithmeticOverflow;
        case EILSEQ:
            return WinError::kNoUnicodeTranslation;
        case EFAULT:
            return WinError::kNoAccess;
        case ECHILD:
            return WinError::kWaitNoChildren;
        case EIO:
            return WinError::kIoDevice;
        default:
            return WinError::kGenFailure;
    }
}

std::string Error::message() const {
    if (reason_ != nullptr) {
        return reason_;
    }
    const std::string number = "error " + std::to_string(windows_);
    if (errno_ == 0) {
        return number;
    }
    // A Windows number the errno value does not stand for (one the mapping
    // has no errno value for reads as EIO) is named too: the errno text
    // alone would hide what the system reported.
    if (windows_ != windowsErrorFromErrno(errno_)) {
        return std::string(std::strerror(errno_)) + " (" + number + ")";
    }
    return std::strerror(errno_);
}

}  // namespace holm::platform
