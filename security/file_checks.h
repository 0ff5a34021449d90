// Checks shared by everything that trusts a file on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace holm::security {

// Only root and the user the process runs as may own a trusted file or
// directory: anyone else who owns it could change it after it was checked.
bool isTrustedOwner(uint32_t owner);

// Reads the whole of a small file from `fd`. Empty on a read error or when the
// file holds more than `limit` bytes (then `tooLarge` is set); never reads
// more than limit + 1 bytes, whatever the file claims.
std::optional<std::string> readSmallFile(int fd, size_t limit, bool& tooLarge);

}  // namespace holm::security
