#include <array>
#include <chrono>
#include <cstring>

#include "platform/random.h"

namespace holm::platform {

namespace {

// One word per thread rather than a generator's kilobytes: the core's
// thread-local block stays small enough for the loader to place it beside
// the program's, where its thread-local objects cost the least to reach.
thread_local constinit uint64_t nameState = 0;

uint64_t seed() noexcept {
    std::array<uint8_t, sizeof(uint64_t)> bytes{};
    uint64_t value = 0;
    if (fillRandom(bytes)) {
        std::memcpy(&value, bytes.data(), sizeof value);
    }
    if (value == 0) {  // no system generator: the clock and the thread still differ
        value = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                reinterpret_cast<uintptr_t>(&nameState);
    }
    return value;
}

}  // namespace

// splitmix64: the state advances by a fixed odd step and is mixed, so a
// thread's values repeat only after 2^64 calls.
uint64_t uniqueNameBits() noexcept {
    if (nameState == 0) {
        nameState = seed();
    }
    nameState += 0x9E3779B97F4A7C15ull;
    uint64_t bits = nameState;
    bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9ull;
    bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBull;
    return bits ^ (bits >> 31);
}

}  // namespace holm::platform
