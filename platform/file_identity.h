// What makes two names the same file: its device and inode.
#pragma once

#include <cstdint>

namespace holm::platform {

// The identity of a file on disk, whatever name it is reached by. For a
// loaded module it is what the kernel reports for the module's mappings, so
// it names the file that is mapped, not whatever its path names now.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;

    bool operator==(const FileIdentity&) const = default;
};

}  // namespace holm::platform
