// Checks shared by everything that trusts a file on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"
#include "platform/verified_open.h"

namespace holm::security {

// Only root and the user the process runs as may own a trusted file or
// directory: anyone else who owns it could change it after it was checked.
bool isTrustedOwner(uint32_t owner);

// A file opened through its directory, which stays open so that files beside
// it (the signature) are found in the very same directory.
struct FileInDirectory {
    platform::OpenedFile directory;
    platform::OpenedFile file;
};

// Opens the directory of `path` (following links on the way), then the file
// in it without following a link at its name (platform::openFileAt). A
// directory that cannot be opened fails the same way as the file would (a
// path through something other than a directory: NotFound).
platform::Result<FileInDirectory, platform::OpenFailure> openInDirectory(const std::string& path);

// Why an open failed, as a phrase after the file's name ("is a symbolic link").
std::string describeOpenFailure(const platform::OpenFailure& failure);

// Reads the whole file behind `fd` from its start (the descriptor's position
// is not used), through the I/O module's bounded read. `expectedSize` only
// sizes the first buffer. Fails with EFBIG when the file holds more than
// `limit` bytes (never reading more than limit + 1 of them, whatever the file
// claims), or with the read's error.
platform::Result<std::vector<std::byte>> readBoundedFile(int fd, uint64_t expectedSize,
                                                         size_t limit);

// The same for a small text file.
platform::Result<std::string> readSmallFile(int fd, size_t limit);

// Whether a failed bounded read failed because the file was too large.
bool isTooLarge(const platform::Error& error);

}  // namespace holm::security
