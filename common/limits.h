// The length limit of the lists the system's interfaces count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace holm::common {

// Counts and indices cross the interfaces as int32: no list grows beyond.
inline constexpr size_t kMaxListLength = INT32_MAX;

// Throws std::length_error, with the text the system reports for it, when a
// list of `size` elements cannot take one more within `limit`.
inline void checkRoomForOneMore(size_t size, size_t limit = kMaxListLength) {
    if (size >= limit || size >= kMaxListLength) {
        throw std::length_error("list<T> too long");
    }
}

}  // namespace holm::common
