// The debugger output channel: diagnostic lines nobody sees unless they ask.
// Lines go to standard error when HOLM_DEBUG_OUTPUT=1; otherwise they cost a
// flag test.
#pragma once

#include <string_view>

namespace holm::platform {

void debugOutput(std::string_view line);

}  // namespace holm::platform
