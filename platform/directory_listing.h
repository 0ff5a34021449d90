// The entry names of an open directory.
#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace holm::platform {

// Every name in the directory `directoryFd` refers to, "." and ".." left out,
// in the order the file system gives them. The descriptor stays the caller's.
Result<std::vector<std::string>> entryNamesAt(int directoryFd);

}  // namespace holm::platform
