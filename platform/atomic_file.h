// Replacing a file's content atomically: a reader, and whatever survives a
// crash, sees the old content or the new one, never a mixture.
//
// The content goes to a temporary file on the same file system, is flushed
// to the device, and only then renamed over the target. Any failure on the
// way removes the temporary file, leaves the target as it was and reports
// the error. This is the pattern every writer of state uses (the registry
// store's values, the configuration and INI files, the updater, logs).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace holm::platform {

struct AtomicWriteOptions {
    uint32_t mode = 0644;  // permission bits of the new file
    // Also flush the target's directory after the rename, so that the new
    // name itself survives a power loss (not only "old or new").
    bool syncDirectory = false;
};

// Writes `content` to `temporaryName` in `temporaryDirectory` (a leftover of
// that name is replaced), then renames it to `targetName` in
// `targetDirectory`. Both directories are descriptors on one file system;
// neither name may contain a `/`.
Status replaceFileAtomically(int temporaryDirectory, const std::string& temporaryName,
                             int targetDirectory, const std::string& targetName,
                             std::span<const uint8_t> content,
                             const AtomicWriteOptions& options = {});

// Replaces the file at `path`, with the temporary file beside it.
Status replaceFileAtomically(const std::string& path, std::string_view content,
                             const AtomicWriteOptions& options = {});

}  // namespace holm::platform
