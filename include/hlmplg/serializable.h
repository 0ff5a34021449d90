// The serialization contract of every list container.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"

namespace HlmPlg {

class HLMPLG_API ISerializable {
  public:
    virtual ~ISerializable() = default;

    // Replaces the whole content with what the block describes. The object is
    // cleared first in every case, also for a size of 0 or less. A malformed
    // block leaves the object with whatever complete records it held.
    virtual void deserialize(const void* data, int32_t size) = 0;

    // Writes the address and length of a block describing the whole content.
    // The block belongs to the object and stays valid until the next
    // serialize() on it or its destruction; the caller never frees it.
    virtual void serialize(void** data, uint32_t* size) = 0;
};

}  // namespace HlmPlg
