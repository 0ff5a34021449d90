// What the registry store's POSIX parts share: the opened store and the
// checks every directory of the store passes before it is used.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/unique_handle.h"
#include "registry/registry.h"

namespace holm::registry::detail {

struct StoreState {
    std::filesystem::path directory;
    dev_t device = 0;  // the store never crosses into another file system
    platform::UniqueFd root;
    platform::UniqueFd temp;     // ".tmp": temporary files and directories, never watched
    platform::UniqueFd machine;  // LocalMachine
    platform::UniqueFd users;    // Users
};

struct KeyState {
    Store store;  // keeps the store's descriptors open while the key is
    platform::UniqueFd directory;
};

// Opens `name` in `parent` as a directory without following a symbolic link
// and checks it is owned by the effective user or root and not writable by
// group or others. Fails with kErrorFileNotFound, kErrorBadKey (not a
// directory, a link) or kErrorAccessDenied.
platform::Result<platform::UniqueFd> openTrustedDirectory(int parent, const std::string& name);

// Lists the entry names of a key directory that `select` accepts
// (kErrorKeyDeleted once the key is deleted).
platform::Result<std::vector<std::string>> listEntries(int directory,
                                                       bool (*select)(std::string_view));

// True for the on-disk name of a subkey ("k." or "k#") or of a value.
inline bool isSubkeyEntry(std::string_view name) {
    return name.size() > 2 && name[0] == 'k' && (name[1] == '.' || name[1] == '#');
}
inline bool isValueEntry(std::string_view name) {
    return name.size() >= 2 && name[0] == 'v' && (name[1] == '.' || name[1] == '#');
}

}  // namespace holm::registry::detail
