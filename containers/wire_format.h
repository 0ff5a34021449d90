// Reading and writing the serialized list forms: little-endian record lengths
// and UTF-16LE strings terminated by 0x0000. Readers never look past the
// block they are given.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "hlmplg/list_format.h"

namespace holm::containers {

using Bytes = std::span<const uint8_t>;

// The block a deserialize call was given; empty for a null pointer or a size
// below 1.
inline Bytes blockOf(const void* data, int32_t size) {
    if (data == nullptr || size < 1) {
        return {};
    }
    return {static_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

// Bytes a string takes in a string-list block, including its terminator.
inline size_t encodedStringSize(std::u16string_view text) {
    return (text.size() + 1) * HlmPlg::kListCodeUnitSize;
}

// Writes the string's code units and a terminator; returns the end.
inline uint8_t* writeString(uint8_t* out, std::u16string_view text) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, text.data(), text.size() * sizeof(char16_t));
        out += text.size() * sizeof(char16_t);
    } else {
        for (char16_t unit : text) {
            *out++ = static_cast<uint8_t>(unit);
            *out++ = static_cast<uint8_t>(unit >> 8);
        }
    }
    *out++ = 0;
    *out++ = 0;
    return out;
}

inline uint8_t* writeLength(uint8_t* out, uint32_t length) {
    for (int shift = 0; shift < 32; shift += 8) {
        *out++ = static_cast<uint8_t>(length >> shift);
    }
    return out;
}

inline uint32_t readLength(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Walks the terminated strings of a string-list block. A final string without
// terminator inside the block, and an odd last byte, are not returned.
class StringReader {
  public:
    explicit StringReader(Bytes block) : block_(block) {}

    // The next string, or nothing at the end of the complete strings.
    std::optional<std::u16string> next() {
        const size_t units = (block_.size() - offset_) / 2;
        for (size_t i = 0; i < units; ++i) {
            if (unitAt(offset_ + 2 * i) == 0) {
                std::u16string text = decode(offset_, i);
                offset_ += 2 * (i + 1);
                return text;
            }
        }
        offset_ = block_.size();
        return std::nullopt;
    }

  private:
    char16_t unitAt(size_t byteOffset) const {
        return static_cast<char16_t>(block_[byteOffset] | block_[byteOffset + 1] << 8);
    }

    std::u16string decode(size_t byteOffset, size_t units) const {
        std::u16string text(units, u'\0');
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(text.data(), block_.data() + byteOffset, units * sizeof(char16_t));
        } else {
            for (size_t i = 0; i < units; ++i) {
                text[i] = unitAt(byteOffset + 2 * i);
            }
        }
        return text;
    }

    Bytes block_;
    size_t offset_ = 0;
};

// Walks the length-prefixed records of a serializable-list block. Stops for
// good at a record whose length field or bytes would run past the block.
class RecordReader {
  public:
    explicit RecordReader(Bytes block) : block_(block) {}

    std::optional<Bytes> next() {
        const size_t remaining = block_.size() - offset_;
        if (remaining < HlmPlg::kListRecordLengthSize) {
            return finish();
        }
        const size_t length = readLength(block_.data() + offset_);
        if (length > remaining - HlmPlg::kListRecordLengthSize) {
            return finish();
        }
        Bytes record = block_.subspan(offset_ + HlmPlg::kListRecordLengthSize, length);
        offset_ += HlmPlg::kListRecordLengthSize + length;
        return record;
    }

  private:
    std::optional<Bytes> finish() {
        offset_ = block_.size();
        return std::nullopt;
    }

    Bytes block_;
    size_t offset_ = 0;
};

// Adds up block sizes, refusing totals above the largest block a list
// produces.
class BlockSize {
  public:
    bool add(size_t bytes) {
        if (bytes > HlmPlg::kListMaxBlockSize - total_) {
            overflow_ = true;
            return false;
        }
        total_ += bytes;
        return true;
    }
    // Adds `count` blocks of `bytes` each.
    bool addTimes(size_t bytes, size_t count) {
        if (bytes != 0 && count > (HlmPlg::kListMaxBlockSize - total_) / bytes) {
            overflow_ = true;
            return false;
        }
        total_ += bytes * count;
        return true;
    }
    bool valid() const { return !overflow_; }
    size_t total() const { return total_; }

  private:
    size_t total_ = 0;
    bool overflow_ = false;
};

// The block a list's serialize hands out. It stays valid until the next
// serialize on the same list or the list's destruction.
class SerializerBuffer {
  public:
    // Releases the previous block, then builds a block of `size.total()` bytes
    // with `write(uint8_t*)` and writes its address and length to the outputs.
    // An empty list, a block above the size limit or a failed allocation
    // writes null and 0, so that no caller keeps the released address.
    template <class Write>
    void publish(const BlockSize& size, Write write, void** data, uint32_t* length) {
        block_.reset();
        if (data == nullptr || length == nullptr) {
            return;
        }
        *data = nullptr;
        *length = 0;
        if (!size.valid() || size.total() == 0) {
            return;
        }
        block_.reset(new (std::nothrow) uint8_t[size.total()]);
        if (!block_) {
            return;
        }
        write(block_.get());
        *data = block_.get();
        *length = static_cast<uint32_t>(size.total());
    }

  private:
    std::unique_ptr<uint8_t[]> block_;
};

}  // namespace holm::containers
