// The walk down a directory chain, one name at a time, shared by both
// backends' makeDirectoryChain. Private to the platform module.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace holm::platform {

// Calls `step` with each name of `path` from the index `start` on, in order,
// where any character of `separators` separates names. Empty names (doubled
// separators) and "." are passed over. A ".." ends the walk with EINVAL: a
// chain walked down from its root never climbs, so what was checked on the
// way stays above what is made. The first step that fails ends the walk with
// its error.
Status walkDirectoryChain(const std::string& path, size_t start, std::string_view separators,
                          const std::function<Status(const std::string& name)>& step);

}  // namespace holm::platform
