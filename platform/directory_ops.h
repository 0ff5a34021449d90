// The two directory operations the utility layer needs: an existence test and
// a creation restricted to the owner. Paths are UTF-8.
#pragma once

#include <string>

namespace holm::platform::directory_ops {

// True when `path` names a directory (a symbolic link to one counts).
bool directoryExists(const std::string& path);

// Creates the single directory `path` with access for its owner only (0700).
// False when anything already exists at `path` or the creation fails, so the
// call itself serves as the existence test (no check-then-create window).
bool createOwnerOnlyDirectory(const std::string& path);

}  // namespace holm::platform::directory_ops
