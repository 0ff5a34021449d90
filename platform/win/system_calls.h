// The replaceable table of the calls that read and write file data and make
// and remove directory entries, on Windows.
//
// The same table as on Linux (posix/system_calls.h), in the same POSIX
// shape, so that fault injection and the tests that use it work on both
// systems: each call returns -1 with errno set on failure (and the Win32
// number kept, see native.h). Descriptors are the backend's (native.h);
// `flags` of openat are the kOpen* bits below; `mode` is not used (a
// Windows file carries an access list, inherited from its directory).
#pragma once

#include <cstddef>
#include <cstdint>

namespace holm::platform::io {

// openat flags.
inline constexpr int kOpenRead = 0x1;
inline constexpr int kOpenWrite = 0x2;
inline constexpr int kOpenCreate = 0x4;
inline constexpr int kOpenExclusive = 0x8;
inline constexpr int kOpenDirectory = 0x10;
inline constexpr int kOpenAppend = 0x20;
inline constexpr int kOpenFollowLink = 0x40;
// unlinkat flag: remove a directory.
inline constexpr int kRemoveDirectory = 0x1;
// renameat2 flag: never replace an existing target.
inline constexpr unsigned kRenameNoReplace = 0x1;

// The POSIX names of the call signatures, so that one fault-injection table
// serves both systems.
using ssize_t = std::ptrdiff_t;
using mode_t = uint32_t;
using FileOffset = int64_t;

struct SystemCalls {
    int (*openat)(int directory, const char* name, int flags, mode_t mode);
    ssize_t (*read)(int fd, void* buffer, size_t size);
    ssize_t (*pread)(int fd, void* buffer, size_t size, FileOffset offset);
    ssize_t (*write)(int fd, const void* buffer, size_t size);
    int (*fsync)(int fd);
    int (*renameat2)(int fromDirectory, const char* from, int toDirectory, const char* to,
                     unsigned flags);
    int (*mkdirat)(int directory, const char* name, mode_t mode);
    int (*unlinkat)(int directory, const char* name, int flags);
};

// The system's calls.
const SystemCalls& realSystemCalls() noexcept;
// The table in force.
const SystemCalls& systemCalls() noexcept;

// Puts `calls` in force until the end of the scope, then restores the table
// that was in force before. `calls` must outlive the scope.
class ScopedSystemCalls {
  public:
    explicit ScopedSystemCalls(const SystemCalls& calls) noexcept;
    ~ScopedSystemCalls();
    ScopedSystemCalls(const ScopedSystemCalls&) = delete;
    ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

  private:
    const SystemCalls* previous_;
};

}  // namespace holm::platform::io
