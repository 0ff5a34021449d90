// Reading the kernel's small generated files (/proc) inside the platform layer.
#pragma once

#include <string>

namespace holm::platform {

// The whole content of a small kernel-generated file, read through a
// close-on-exec descriptor; empty on failure.
std::string readWholeFile(const char* path);

}  // namespace holm::platform
