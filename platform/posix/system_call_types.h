// The types and flags of the I/O module's system-call table on POSIX
// systems: the C library's own (see platform/system_calls.h).
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/types.h>

namespace holm::platform::io {

using FileOffset = off_t;
using mode_t = ::mode_t;
inline constexpr int kOpenExclusive = O_EXCL;
inline constexpr int kRemoveDirectory = AT_REMOVEDIR;
inline constexpr unsigned kRenameNoReplace = RENAME_NOREPLACE;

}  // namespace holm::platform::io
