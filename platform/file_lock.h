// Advisory locks on files, used to mark a directory as in use by a live
// process: the lock goes away with the process, however it ends.
#pragma once

#include <optional>
#include <string>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

class FileLock {
  public:
    // Creates `path` if needed (mode 0600, no link followed) and takes an
    // exclusive lock on it without waiting; EWOULDBLOCK when another process
    // holds the lock.
    static Result<FileLock> acquire(const std::string& path);

  private:
    explicit FileLock(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// Whether a live process holds the lock on `path` (false when the file does
// not exist or cannot be opened).
bool isLockHeld(const std::string& path);

}  // namespace holm::platform
