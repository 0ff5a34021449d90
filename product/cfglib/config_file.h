// Reading and replacing the configuration file for the configuration library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace holm::cfglib {

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
// renamed over it), so a crash leaves the old content or the new one. 0 or
// the Windows error number.
int32_t replaceConfigurationFile(const std::string& path, std::string_view bytes);

}  // namespace holm::cfglib
