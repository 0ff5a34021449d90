#include "platform/io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <vector>

#include "platform/io_backend.h"
#include "platform/io_retry.h"
#include "platform/system_calls.h"
#include "platform/win/local_pipe.h"
#include "platform/win/native.h"

namespace holm::platform::io {

namespace {

using win::failErrno;
using win::failLastWin32;
using win::handleOf;

// Every open shares reading, writing and deletion with other openers, as a
// POSIX open does: a file stays replaceable and removable while it is read.
// (The verified opens of verified_open.cpp choose narrower sharing.)
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int realOpenat(int directory, const char* name, int flags, mode_t /*mode*/) {
    const std::wstring path = win::pathAt(directory, name);
    if (path.empty()) {
        return -1;
    }
    DWORD access = 0;
    if (flags & kOpenRead) {
        access |= GENERIC_READ;
    }
    if (flags & kOpenWrite) {
        // An appending writer has no right to write elsewhere: every write
        // goes to the end, as O_APPEND.
        access |= (flags & kOpenAppend) ? FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE
                                        : GENERIC_WRITE;
    }
    if (access == 0) {
        access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    }
    DWORD disposition = OPEN_EXISTING;
    if (flags & kOpenCreate) {
        disposition = (flags & kOpenExclusive) ? CREATE_NEW : OPEN_ALWAYS;
    }
    // Directories open only with backup semantics; a reparse point (a
    // symbolic link or junction) at the last step is opened itself, and
    // refused below unless the caller follows links.
    DWORD attributes = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;
    if (!(flags & kOpenFollowLink)) {
        attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    HANDLE handle =
        ::CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return failLastWin32();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        return win::failWin32(error);
    }
    const bool isDirectory = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    int refusal = 0;
    if (!(flags & kOpenFollowLink) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        refusal = ELOOP;
    } else if ((flags & kOpenDirectory) && !isDirectory) {
        refusal = ENOTDIR;
    } else if ((flags & kOpenWrite) && isDirectory) {
        refusal = EISDIR;
    }
    if (refusal != 0) {
        ::CloseHandle(handle);
        return failErrno(refusal);
    }
    return win::adoptHandle(handle,
                            isDirectory ? win::HandleKind::Directory : win::HandleKind::File);
}

ssize_t realRead(int fd, void* buffer, size_t size) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (win::kindOf(fd) == win::HandleKind::Pipe) {
        return win::readPipe(fd, buffer, size);  // overlapped: a read of its own
    }
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!::ReadFile(handle, buffer, want, &got, nullptr)) {
        const DWORD error = ::GetLastError();
        // A pipe whose writer is gone is at its end, as on POSIX.
        return error == ERROR_BROKEN_PIPE ? 0 : win::failWin32(error);
    }
    return static_cast<ssize_t>(got);
}

ssize_t realPread(int fd, void* buffer, size_t size, int64_t offset) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (offset < 0) {
        return failErrno(EINVAL);
    }
    // A read at an offset moves a synchronous handle's position on Windows;
    // a positioned read must not, so the position is put back.
    LARGE_INTEGER position{};
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) {
        return failLastWin32();
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    const BOOL read = ::ReadFile(handle, buffer, want, &got, &at);
    const DWORD error = read ? ERROR_SUCCESS : ::GetLastError();
    ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
    if (!read) {
        return error == ERROR_HANDLE_EOF ? 0 : win::failWin32(error);
    }
    return static_cast<ssize_t>(got);
}

ssize_t realWrite(int fd, const void* buffer, size_t size) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (win::kindOf(fd) == win::HandleKind::Pipe) {
        return win::writePipe(fd, buffer, size);
    }
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!::WriteFile(handle, buffer, want, &put, nullptr)) {
        return failLastWin32();
    }
    return static_cast<ssize_t>(put);
}

int realFsync(int fd) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    // A directory cannot be flushed through a handle on Windows; renames
    // are made write-through instead (realRenameat2), so there is nothing
    // left to flush.
    if (win::kindOf(fd) == win::HandleKind::Directory) {
        return 0;
    }
    return ::FlushFileBuffers(handle) ? 0 : failLastWin32();
}

// Renames with POSIX semantics where the system has them (Windows 10 and
// later): the target is replaced even while others hold it open (with
// delete sharing), as rename does elsewhere, and they keep reading what they
// opened. Returns false when the system does not know the request.
// FileRenameInfoEx, which these headers declare only for newer targets
// than the one the build names (the call itself tells whether the system
// knows it).
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

bool renamedWithPosixSemantics(const std::wstring& source, const std::wstring& target, bool replace,
                               DWORD& error) {
    HANDLE file =
        ::CreateFileW(source.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return true;
    }
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->Flags =
        FILE_RENAME_FLAG_POSIX_SEMANTICS | (replace ? FILE_RENAME_FLAG_REPLACE_IF_EXISTS : 0);
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::copy(target.begin(), target.end(), info->FileName);
    const BOOL renamed = ::SetFileInformationByHandle(file, kFileRenameInfoEx, info,
                                                      static_cast<DWORD>(buffer.size()));
    error = renamed ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(file);
    return renamed || (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
                       error != ERROR_INVALID_FUNCTION);
}

int realRenameat2(int fromDirectory, const char* from, int toDirectory, const char* to,
                  unsigned flags) {
    const std::wstring source = win::pathAt(fromDirectory, from);
    const std::wstring target = win::pathAt(toDirectory, to);
    if (source.empty() || target.empty()) {
        return -1;
    }
    const bool replace = !(flags & kRenameNoReplace);
    DWORD error = ERROR_SUCCESS;
    if (!renamedWithPosixSemantics(source, target, replace, error)) {
        // An older system (or Wine): the classic rename, which refuses to
        // replace a target someone holds open (access denied, nothing lost).
        const DWORD how = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
        error =
            ::MoveFileExW(source.c_str(), target.c_str(), how) ? ERROR_SUCCESS : ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        // A taken name is "exists" whatever call refused it.
        return win::failWin32(error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error);
    }
    return 0;
}

int realMkdirat(int directory, const char* name, mode_t /*mode*/) {
    const std::wstring path = win::pathAt(directory, name);
    if (path.empty()) {
        return -1;
    }
    return ::CreateDirectoryW(path.c_str(), nullptr) ? 0 : failLastWin32();
}

int realUnlinkat(int directory, const char* name, int flags) {
    const std::wstring path = win::pathAt(directory, name);
    if (path.empty()) {
        return -1;
    }
    const BOOL removed =
        (flags & kRemoveDirectory) ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str());
    return removed ? 0 : failLastWin32();
}

constexpr SystemCalls kRealSystemCalls{realOpenat, realRead,      realPread,   realWrite,
                                       realFsync,  realRenameat2, realMkdirat, realUnlinkat};

}  // namespace

const SystemCalls& realSystemCalls() noexcept {
    return kRealSystemCalls;
}

namespace backend {

int openFlags(const OpenOptions& options) {
    int flags = options.followLink ? kOpenFollowLink : 0;
    switch (options.access) {
        case Access::Read:
            flags |= kOpenRead;
            break;
        case Access::Write:
            flags |= kOpenWrite;
            break;
        case Access::ReadWrite:
            flags |= kOpenRead | kOpenWrite;
            break;
    }
    flags |= options.create ? kOpenCreate : 0;
    flags |= options.create && options.exclusive ? kOpenExclusive : 0;
    flags |= options.directory ? kOpenDirectory : 0;
    flags |= options.append ? kOpenAppend : 0;
    return flags;
}

Status requireRegularFile(int fd) {
    if (win::kindOf(fd) != win::HandleKind::File || ::GetFileType(handleOf(fd)) != FILE_TYPE_DISK) {
        return Error::fromErrno(EINVAL);
    }
    return {};
}

namespace {

// A lock on one byte far beyond any data: Windows locks are mandatory for
// the range they cover, so locking the data itself would stop readers; a
// byte no file reaches gives the advisory lock the other systems have.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

Status lockWith(int fd, DWORD flags) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (!::LockFileEx(handle, flags, 0, 1, 0, &at)) {
        return win::lastWin32Error();
    }
    return {};
}

DWORD lockFlags(LockKind kind) {
    return kind == LockKind::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
}

}  // namespace

Status lockFile(int fd, LockKind kind) {
    return lockWith(fd, lockFlags(kind));
}

Result<bool> tryLockFile(int fd, LockKind kind) {
    Status taken = lockWith(fd, lockFlags(kind) | LOCKFILE_FAIL_IMMEDIATELY);
    if (taken) {
        return true;
    }
    if (taken.error().windowsError() == ERROR_LOCK_VIOLATION) {
        return false;
    }
    return taken.error();
}

}  // namespace backend

// Extended attributes, sockets and child processes are not part of this
// backend yet: they fail with "not supported".
Status setAttribute(int, const char*, std::string_view) {
    return Error::fromErrno(ENOTSUP);
}

Result<std::string> getAttribute(int, const char*) {
    return Error::fromErrno(ENOTSUP);
}

Status removeAttribute(int, const char*) {
    return Error::fromErrno(ENOTSUP);
}

Status sendFull(int, std::string_view) {
    return Error::fromErrno(ENOTSUP);
}

Status connect(int, const void*, size_t) {
    return Error::fromErrno(ENOTSUP);
}

Result<size_t> sendTo(int, std::string_view, const void*, size_t) {
    return Error::fromErrno(ENOTSUP);
}

Result<int> reapChild(int) {
    return Error::fromErrno(ENOTSUP);
}

Result<size_t> waitEpoll(int, std::span<uint64_t>, Deadline) {
    return Error::fromErrno(ENOTSUP);
}

Status truncate(int fd, uint64_t size) {
    if (size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return Error::fromErrno(EINVAL);
    }
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end)) {
        return win::lastWin32Error();
    }
    return {};
}

Result<bool> waitAnyReadable(std::span<const int> fds, std::span<bool> ready, Deadline deadline) {
    // Files are always readable (a read tells what there is); events are
    // readable while set, processes once they have ended, pipes once their
    // pending read has completed (its event is set then).
    std::vector<HANDLE> waitables;
    std::vector<size_t> indexOf;
    bool any = false;
    for (size_t i = 0; i < fds.size(); ++i) {
        HANDLE handle = handleOf(fds[i]);
        if (handle == INVALID_HANDLE_VALUE) {
            return Error::fromErrno(EBADF);
        }
        ready[i] = false;
        const win::HandleKind kind = win::kindOf(fds[i]);
        if (kind == win::HandleKind::Pipe) {
            handle = win::pipeReadEvent(fds[i]);
        }
        if (handle != nullptr &&
            (kind == win::HandleKind::Event || kind == win::HandleKind::Process ||
             kind == win::HandleKind::Pipe)) {
            waitables.push_back(handle);
            indexOf.push_back(i);
        } else {
            ready[i] = any = true;
        }
    }
    if (any) {
        return true;
    }
    if (waitables.empty() || waitables.size() > MAXIMUM_WAIT_OBJECTS) {
        return Error::fromErrno(EINVAL);
    }
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const DWORD timeout =
            deadline == kNoDeadline
                ? INFINITE
                : static_cast<DWORD>(std::clamp<int64_t>(left.count(), 0, INFINITE - 1));
        const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(waitables.size()),
                                                      waitables.data(), FALSE, timeout);
        if (result == WAIT_FAILED) {
            return win::lastWin32Error();
        }
        if (result < WAIT_OBJECT_0 + waitables.size()) {
            // Report every member that is set, not only the first.
            for (size_t i = 0; i < waitables.size(); ++i) {
                ready[indexOf[i]] = ::WaitForSingleObject(waitables[i], 0) == WAIT_OBJECT_0;
            }
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
}

}  // namespace holm::platform::io
