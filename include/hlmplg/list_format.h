// Constants of the serialized list forms. Every form is little-endian and the
// same on every platform.
#pragma once

#include <cstdint>

namespace HlmPlg {

// A serializable-list record: this many bytes of little-endian length, then
// the record's bytes.
inline constexpr uint32_t kListRecordLengthSize = 4;
// A string-list string: UTF-16LE code units of this size, then one 0x0000.
inline constexpr uint32_t kListCodeUnitSize = 2;
// The largest block a list serializes or accepts.
inline constexpr uint32_t kListMaxBlockSize = 0x7FFFFFFF;

static_assert(sizeof(char16_t) == kListCodeUnitSize, "UTF-16 code units are 2 bytes");
static_assert(sizeof(uint32_t) == kListRecordLengthSize, "record lengths are 4 bytes");
static_assert(sizeof(int32_t) == 4, "sizes in the list interfaces are 32-bit");

}  // namespace HlmPlg
