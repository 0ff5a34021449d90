// Shared checks of the list fuzz targets: a random block never makes a list
// read outside it, and whatever a list serializes deserializes into an equal
// list.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hlmplg/serializable.h"

namespace holm::fuzz {

inline std::vector<uint8_t> serialized(HlmPlg::ISerializable& object) {
    void* data = nullptr;
    uint32_t size = 0;
    object.serialize(&data, &size);
    const auto* bytes = static_cast<const uint8_t*>(data);
    return bytes != nullptr ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>();
}

// Turns random bytes into well-formed records, so that random inputs reach
// past the length checks: each record is one length byte (taken modulo what
// is left) and that many bytes, written with a 4-byte little-endian length.
inline std::vector<uint8_t> asRecords(const uint8_t* data, size_t size) {
    std::vector<uint8_t> block;
    size_t pos = 0;
    while (pos < size) {
        const size_t left = size - pos - 1;
        const size_t length = left == 0 ? 0 : data[pos] % (left + 1);
        ++pos;
        for (int shift = 0; shift < 32; shift += 8) {
            block.push_back(static_cast<uint8_t>(length >> shift));
        }
        block.insert(block.end(), data + pos, data + pos + length);
        pos += length;
    }
    return block;
}

// Deserializes an exactly-sized heap copy of the input (so that an overread
// is caught by the address sanitizer), then checks the round trip through a
// second object made by `make`.
template <class Make>
void checkRoundTrip(const uint8_t* data, size_t size, Make make) {
    auto block = std::make_unique<uint8_t[]>(size);
    if (size != 0) {
        std::memcpy(block.get(), data, size);
    }
    auto first = make();
    first->deserialize(block.get(), static_cast<int32_t>(size));
    const std::vector<uint8_t> once = serialized(*first);

    auto copy = std::make_unique<uint8_t[]>(once.size());
    if (!once.empty()) {
        std::memcpy(copy.get(), once.data(), once.size());
    }
    auto second = make();
    second->deserialize(copy.get(), static_cast<int32_t>(once.size()));
    if (serialized(*second) != once) {
        std::abort();
    }
}

}  // namespace holm::fuzz
