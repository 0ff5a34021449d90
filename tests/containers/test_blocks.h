// Helpers for the container tests: serialized blocks as byte vectors.
#pragma once

#include <cstdint>
#include <vector>

#include "hlmplg/serializable.h"

namespace holm::test {

using ByteVector = std::vector<uint8_t>;

// What serialize returns, copied out (the block is only valid until the next
// serialize).
inline ByteVector serialized(HlmPlg::ISerializable& object) {
    void* data = nullptr;
    uint32_t size = 0;
    object.serialize(&data, &size);
    const auto* bytes = static_cast<const uint8_t*>(data);
    return bytes != nullptr ? ByteVector(bytes, bytes + size) : ByteVector();
}

inline void deserialize(HlmPlg::ISerializable& object, const ByteVector& block) {
    object.deserialize(block.data(), static_cast<int32_t>(block.size()));
}

}  // namespace holm::test
