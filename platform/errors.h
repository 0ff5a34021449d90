// Windows error numbers and the thread's last error.
//
// Every failure the core reports to plugins, the host or the configuration
// library is a Windows error number. This header is the one place that turns
// an operating-system error (errno) into such a number; nothing else in the
// project maps errno values on its own.
#pragma once

#include <cstdint>

namespace holm::platform {

// Windows error numbers used by the project (the Windows name in the comment).
namespace WinError {
inline constexpr uint32_t kSuccess = 0;                  // ERROR_SUCCESS
inline constexpr uint32_t kInvalidFunction = 1;          // ERROR_INVALID_FUNCTION
inline constexpr uint32_t kFileNotFound = 2;             // ERROR_FILE_NOT_FOUND
inline constexpr uint32_t kPathNotFound = 3;             // ERROR_PATH_NOT_FOUND
inline constexpr uint32_t kTooManyOpenFiles = 4;         // ERROR_TOO_MANY_OPEN_FILES
inline constexpr uint32_t kAccessDenied = 5;             // ERROR_ACCESS_DENIED
inline constexpr uint32_t kInvalidHandle = 6;            // ERROR_INVALID_HANDLE
inline constexpr uint32_t kNotEnoughMemory = 8;          // ERROR_NOT_ENOUGH_MEMORY
inline constexpr uint32_t kInvalidData = 13;             // ERROR_INVALID_DATA
inline constexpr uint32_t kNotSameDevice = 17;           // ERROR_NOT_SAME_DEVICE
inline constexpr uint32_t kNoMoreFiles = 18;             // ERROR_NO_MORE_FILES
inline constexpr uint32_t kWriteProtect = 19;            // ERROR_WRITE_PROTECT
inline constexpr uint32_t kGenFailure = 31;              // ERROR_GEN_FAILURE
inline constexpr uint32_t kSharingViolation = 32;        // ERROR_SHARING_VIOLATION
inline constexpr uint32_t kLockViolation = 33;           // ERROR_LOCK_VIOLATION
inline constexpr uint32_t kHandleEof = 38;               // ERROR_HANDLE_EOF
inline constexpr uint32_t kNotSupported = 50;            // ERROR_NOT_SUPPORTED
inline constexpr uint32_t kFileExists = 80;              // ERROR_FILE_EXISTS
inline constexpr uint32_t kInvalidParameter = 87;        // ERROR_INVALID_PARAMETER
inline constexpr uint32_t kBrokenPipe = 109;             // ERROR_BROKEN_PIPE
inline constexpr uint32_t kBufferOverflow = 111;         // ERROR_BUFFER_OVERFLOW
inline constexpr uint32_t kDiskFull = 112;               // ERROR_DISK_FULL
inline constexpr uint32_t kInsufficientBuffer = 122;     // ERROR_INSUFFICIENT_BUFFER
inline constexpr uint32_t kInvalidName = 123;            // ERROR_INVALID_NAME
inline constexpr uint32_t kModNotFound = 126;            // ERROR_MOD_NOT_FOUND
inline constexpr uint32_t kProcNotFound = 127;           // ERROR_PROC_NOT_FOUND
inline constexpr uint32_t kWaitNoChildren = 128;         // ERROR_WAIT_NO_CHILDREN
inline constexpr uint32_t kDirNotEmpty = 145;            // ERROR_DIR_NOT_EMPTY
inline constexpr uint32_t kBusy = 170;                   // ERROR_BUSY
inline constexpr uint32_t kAlreadyExists = 183;          // ERROR_ALREADY_EXISTS
inline constexpr uint32_t kBadExeFormat = 193;           // ERROR_BAD_EXE_FORMAT
inline constexpr uint32_t kFilenameExcedRange = 206;     // ERROR_FILENAME_EXCED_RANGE
inline constexpr uint32_t kFileTooLarge = 223;           // ERROR_FILE_TOO_LARGE
inline constexpr uint32_t kMoreData = 234;               // ERROR_MORE_DATA
inline constexpr uint32_t kNoMoreItems = 259;            // ERROR_NO_MORE_ITEMS
inline constexpr uint32_t kArithmeticOverflow = 534;     // ERROR_ARITHMETIC_OVERFLOW
inline constexpr uint32_t kOperationAborted = 995;       // ERROR_OPERATION_ABORTED
inline constexpr uint32_t kNoAccess = 998;               // ERROR_NOACCESS
inline constexpr uint32_t kBadDb = 1009;                 // ERROR_BADDB
inline constexpr uint32_t kBadKey = 1010;                // ERROR_BADKEY
inline constexpr uint32_t kCantOpen = 1011;              // ERROR_CANTOPEN
inline constexpr uint32_t kCantRead = 1012;              // ERROR_CANTREAD
inline constexpr uint32_t kCantWrite = 1013;             // ERROR_CANTWRITE
inline constexpr uint32_t kKeyDeleted = 1018;            // ERROR_KEY_DELETED
inline constexpr uint32_t kExceptionInService = 1064;    // ERROR_EXCEPTION_IN_SERVICE
inline constexpr uint32_t kNoUnicodeTranslation = 1113;  // ERROR_NO_UNICODE_TRANSLATION
inline constexpr uint32_t kDllInitFailed = 1114;         // ERROR_DLL_INIT_FAILED
inline constexpr uint32_t kIoDevice = 1117;              // ERROR_IO_DEVICE
inline constexpr uint32_t kNotAuthenticated = 1244;      // ERROR_NOT_AUTHENTICATED
inline constexpr uint32_t kNoSystemResources = 1450;     // ERROR_NO_SYSTEM_RESOURCES
inline constexpr uint32_t kTimeout = 1460;               // ERROR_TIMEOUT
inline constexpr uint32_t kBadConfiguration = 1610;      // ERROR_BAD_CONFIGURATION
inline constexpr uint32_t kInvalidDatatype = 1804;       // ERROR_INVALID_DATATYPE
inline constexpr uint32_t kResourceDataNotFound = 1812;  // ERROR_RESOURCE_DATA_NOT_FOUND
inline constexpr uint32_t kResourceNameNotFound = 1814;  // ERROR_RESOURCE_NAME_NOT_FOUND
}  // namespace WinError

// The Windows error number for an errno value. 0 gives kSuccess. An EEXIST
// gives kFileExists (what file creation reports); directory creation reports
// kAlreadyExists itself. An errno without a closer match gives kGenFailure,
// so a failure is never turned into success.
uint32_t windowsErrorFromErrno(int err) noexcept;

// The same for a failure to make a change watch (inotify): ENOSPC there is
// the user's limit of kernel watches (kNoSystemResources), not a full disk;
// EMFILE is the limit of instances or of descriptors (kTooManyOpenFiles).
uint32_t windowsErrorFromWatchErrno(int err) noexcept;

// The calling thread's last error (0 until set).
uint32_t lastError() noexcept;

// Sets the calling thread's last error.
void setLastError(uint32_t error) noexcept;

// Sets the calling thread's last error from the current errno and returns it.
uint32_t setLastErrorFromErrno() noexcept;

}  // namespace holm::platform
