// What each system's backend supplies to the portable half of the I/O
// module (io.cpp). Private to the module: only io.cpp and the backends'
// io.cpp include it.
#pragma once

#include "platform/io.h"
#include "platform/result.h"

namespace holm::platform::io::backend {

// The openat flags (system_call_types.h) that carry `options`.
int openFlags(const OpenOptions& options);

// Succeeds for a regular file on the device; anything else (a directory, a
// FIFO, a device) gives EINVAL.
Status requireRegularFile(int fd);

enum class LockKind { Exclusive, Shared };
// Takes the advisory lock on the open file, waiting while another holder
// keeps a conflicting one.
Status lockFile(int fd, LockKind kind);
// The same without waiting: false when another open file holds a
// conflicting lock.
Result<bool> tryLockFile(int fd, LockKind kind);

}  // namespace holm::platform::io::backend
