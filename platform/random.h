// Bytes from the system's own cryptographic random source, for secrets such
// as the seed of a new signing key.
#pragma once

#include <cstdint>
#include <span>

#include "platform/result.h"

namespace holm::platform {

// Fills `bytes` from the system's generator (Linux: getrandom; Windows:
// BCryptGenRandom with the system's preferred generator). Nothing else is
// touched to gather entropy: no desktop, no performance counters, no disks.
Status fillRandom(std::span<uint8_t> bytes);

}  // namespace holm::platform
