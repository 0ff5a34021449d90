// Reading and replacing the configuration file for the configuration library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::product::cfglib {

// Files above this size are not read: no configuration is that large, and a
// bound keeps a wrong path (a disk image, a device) from filling memory.
constexpr size_t kMaxConfigurationFileSize = 16u << 20;

struct FileContent {
    int32_t error = 0;  // 0, or the Windows error number
    bool missing = false;
    std::string bytes;
};

// The file's bytes. A missing file is `missing` (no error); anything but a
// regular file (a directory, a FIFO, a device) and files above the bound are
// refused without waiting on them.
FileContent readConfigurationFile(const std::string& path);

// Replaces the file's content atomically (temporary file beside it, flushed,
// renamed over it), so a crash leaves the old content or the new one. An
// existing file keeps its owner, group and mode; a new one is owner-only.
// 0 or the Windows error number.
int32_t replaceConfigurationFile(const std::string& path, std::string_view bytes);

// The lock every writer of the configuration file holds from its read to
// its replacement (the file "<configuration>.lock" beside it), so that the
// updater and the library's own writes never lose one another's change.
// Another holder is waited for a short bounded time only: a writer that
// keeps it longer makes `acquire` fail with EWOULDBLOCK (Windows 32, a
// sharing violation).
class ConfigurationLock {
  public:
    static platform::Result<ConfigurationLock> acquire(const std::string& configurationFile);

  private:
    explicit ConfigurationLock(platform::UniqueFd fd) : fd_(std::move(fd)) {}
    platform::UniqueFd fd_;
};

}  // namespace holm::product::cfglib
