// Case folding of the letters A to Z only, as keys compare in the lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace holm::containers {

constexpr char16_t foldAscii(char16_t unit) {
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

constexpr bool equalFoldingAscii(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// Hash and equality for unordered containers keyed by text that compares
// with A-Z folded.
struct FoldedAsciiHash {
    size_t operator()(std::u16string_view text) const {
        uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (char16_t unit : text) {
            hash = (hash ^ foldAscii(unit)) * 1099511628211ull;
        }
        return static_cast<size_t>(hash);
    }
};

struct FoldedAsciiEqual {
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        return equalFoldingAscii(a, b);
    }
};

}  // namespace holm::containers
