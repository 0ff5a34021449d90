// The replaceable table of the system calls that read and write file data and
// make and remove directory entries.
//
// Every such call of the I/O module (io.h) goes through the table in force,
// which normally holds the C library's functions. A test installs a table of
// its own for a scope (ScopedSystemCalls) to make a call fail, come up short
// or be interrupted, and proves that the caller loses nothing. The table in
// force is swapped atomically; a test swaps it while no other thread of its
// own does I/O.
//
// Every open, directory creation and removal of the project goes through the
// I/O module and so through this table, with one exception on Linux: the
// child of a spawn opens /dev/null for its standard input and output directly
// (posix/spawn.cpp). Between fork and exec only async-signal-safe calls may
// run, and the table (an atomic load, a test's function) is not known to be one.
// On Windows the opens that need a sharing or access of their own call the
// system directly: verified opens, looks at a file's attributes, crash dumps,
// the service's log, pipes and the file-change monitor's probe of the system.
//
// The table has the same entries and POSIX shape on every system; the
// types and flags are the system's (posix/ and win/system_call_types.h).
#pragma once

#include <cstddef>

#if defined(_WIN32)
#include "platform/win/system_call_types.h"
#else
#include "platform/posix/system_call_types.h"
#endif

namespace holm::platform::io {

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

// The system's own calls.
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
