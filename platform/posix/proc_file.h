// Reading the kernel's small generated files (/proc) inside the platform layer.
#pragma once

#include <string>

namespace holm::platform {

// The whole content of a small kernel-generated file, read through the I/O
// module (close-on-exec, bounded); empty on failure.
std::string readWholeFile(const char* path);

}  // namespace holm::platform
