// Bytes from the system's own cryptographic random source, for secrets such
// as the seed of a new signing key; and bits for the names of temporary
// files, which only need to differ.
#pragma once

#include <cstdint>
#include <span>

#include "platform/result.h"

namespace holm::platform {

// Fills `bytes` from the system's generator (Linux: getrandom; Windows:
// BCryptGenRandom with the system's preferred generator). Nothing else is
// touched to gather entropy: no desktop, no performance counters, no disks.
Status fillRandom(std::span<uint8_t> bytes);

// 64 bits for a temporary file's or directory's name: a different value at
// each call on a thread, unrelated between threads and processes. Not a
// secret: the names are created exclusively, so a name taken fails a create
// instead of sharing a file.
uint64_t uniqueNameBits() noexcept;

}  // namespace holm::platform
