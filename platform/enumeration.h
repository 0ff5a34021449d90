// The backend's half of directory enumeration (file_system.h): the walk of
// one directory, with the choice of names left to the portable half.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/result.h"

namespace holm::platform {

// The entries of `directory` (without "." and "..") whose names `select`
// accepts, unsorted. Fails with the Windows number 3 when the directory does
// not exist.
Result<std::vector<DirectoryEntry>> enumerateMatching(
    const std::string& directory, const std::function<bool(std::string_view)>& select);

}  // namespace holm::platform
