// What the Windows backend shares between its files: the descriptor table,
// text at the Win32 calls, and Win32 error numbers.
//
// Descriptors. The portable headers speak of `int` descriptors. On Windows a
// descriptor is an index into this backend's own table of HANDLEs (not the C
// runtime's: its table is small, it cannot hold events or processes, and it
// would hide the share modes every open here chooses). 0, 1 and 2 are the
// process's standard handles; the table hands out 3 and up, reusing the
// lowest free number. A HANDLE lives in the table from the open that made
// it until close; looking up a number that is not open gives
// INVALID_HANDLE_VALUE and EBADF.
//
// Errors. A failed Win32 call keeps its own number (native here) and sets
// errno to the closest POSIX value, so portable callers that test errno
// values keep working; lastSystemError() then reports both.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/io.h"
#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform::win {

// The directory a relative name is taken from when no directory descriptor
// is given.
inline constexpr int kCurrentDirectory = io::kCurrentDirectory;

// Events and processes are waitable: a wait for readability waits for them
// to be signalled (a process is, once it has ended). A pipe is a connected
// end of a local channel (local_socket.h), readable when data or its end is
// there; reads and writes on it go through its attachment (local_pipe.h).
enum class HandleKind { File, Directory, Event, Process, Pipe, Other };

// State a descriptor keeps beside its HANDLE (a pipe's pending read, a
// listener's waiting instance). It is destroyed when the descriptor is
// closed, before the HANDLE is: a destructor that cancels I/O on the handle
// still has it.
class Attachment {
  public:
    virtual ~Attachment() = default;
};

// A HANDLE owned outside the table, for the time of a call or by an object
// of the backend; null when there is none.
struct HandleTraits {
    using Handle = HANDLE;
    static constexpr HANDLE invalid() noexcept { return nullptr; }
    static void close(HANDLE handle) noexcept { ::CloseHandle(handle); }
};
using OwnedHandle = UniqueHandle<HandleTraits>;
// The calls that open files fail with INVALID_HANDLE_VALUE, the others with
// null: this makes either null for an OwnedHandle.
inline HANDLE nullIfInvalid(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// Puts `handle` in the table and returns its descriptor; -1 with errno
// EMFILE when the table is full (the handle is then closed).
int adoptHandle(HANDLE handle, HandleKind kind, std::shared_ptr<Attachment> attachment = {});
// The HANDLE behind `fd`, or INVALID_HANDLE_VALUE (errno EBADF).
HANDLE handleOf(int fd);
HandleKind kindOf(int fd);
// The state `fd` keeps beside its HANDLE; null when none (or not open).
std::shared_ptr<Attachment> attachmentOf(int fd);
// Takes `fd` out of the table and closes its HANDLE: false (EBADF) when it
// was not open.
bool closeDescriptor(int fd);

// Text at the Win32 calls: UTF-8 paths of the project, UTF-16 wchar_t of
// the system (the same code units as char16_t here).
std::wstring wide(std::string_view utf8);
std::string narrow(std::wstring_view text);
// A path for the Win32 file calls: '/' becomes '\'.
std::wstring nativePath(std::string_view path);
// Whether `path` is absolute ("C:/...", "//server/...", "\\?\...").
bool isAbsolutePath(std::string_view path);
// `name` inside the directory open on `directoryFd` (the current directory
// for kCurrentDirectory, nothing added for an absolute name). Empty with
// errno set when the directory cannot be named.
std::wstring pathAt(int directoryFd, std::string_view name);
// The full path of the file open on `handle` ("C:\..."), empty on failure.
std::wstring finalPathOf(HANDLE handle);

// The errno value closest to a Win32 error number.
int errnoFromWin32(DWORD code) noexcept;
// Records a failed Win32 call: errno gets the closest value and the thread
// remembers `code`, which lastSystemError() reports while errno is unchanged.
// Returns -1 for the table's POSIX-shaped calls.
int failWin32(DWORD code) noexcept;
// failWin32(GetLastError()).
int failLastWin32() noexcept;
// Records a failure that is an errno value of ours (a refused link, a wrong
// type), with the Windows number the errno mapping gives it. Returns -1.
int failErrno(int error) noexcept;
// An Error for the Win32 number `code` (errno derived).
Error win32Error(DWORD code) noexcept;
// win32Error(GetLastError()).
Error lastWin32Error() noexcept;

// FILETIME ticks (100 ns since 1601) to the system clock.
std::chrono::system_clock::time_point fromFileTime(const FILETIME& time);

}  // namespace holm::platform::win
