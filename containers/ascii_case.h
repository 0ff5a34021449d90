// Hashing and equality of keys with A-Z folded, for the key-value index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/utf16.h"

namespace holm::containers {

struct FoldedAsciiHash {
    size_t operator()(std::u16string_view text) const {
        uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (char16_t unit : text) {
            hash = (hash ^ common::foldCase(unit)) * 1099511628211ull;
        }
        return static_cast<size_t>(hash);
    }
};

struct FoldedAsciiEqual {
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        return common::equalsNoCase(a, b);
    }
};

}  // namespace holm::containers
