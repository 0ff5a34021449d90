// The types and flags of the I/O module's system-call table on Windows (see
// platform/system_calls.h). The table has the POSIX shape on Windows too, so
// that fault injection and the tests that use it work on both systems: each
// call returns -1 with errno set on failure (and the Win32 number kept, see
// native.h). Descriptors are the backend's (native.h);
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

}  // namespace holm::platform::io
