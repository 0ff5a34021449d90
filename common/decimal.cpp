#include "common/decimal.h"

#include <algorithm>
#include <limits>

namespace holm::common {

namespace {

bool isCSpace(char16_t unit) {
    return unit == u' ' || (unit >= u'\t' && unit <= u'\r');
}

bool isDecimalDigit(char16_t unit) {
    return unit >= u'0' && unit <= u'9';
}

}  // namespace

int32_t readDecimal(std::u16string_view text) noexcept {
    size_t at = 0;
    while (at < text.size() && isCSpace(text[at])) {
        ++at;
    }
    const bool negative = at < text.size() && text[at] == u'-';
    if (at < text.size() && (text[at] == u'-' || text[at] == u'+')) {
        ++at;
    }
    // One past the largest magnitude: the magnitude of the smallest value.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; at < text.size() && isDecimalDigit(text[at]); ++at) {
        magnitude = std::min(magnitude * 10 + (text[at] - u'0'), kLimit);
    }
    return static_cast<int32_t>(negative ? -magnitude : std::min(magnitude, kLimit - 1));
}

bool isPrintedDecimal(std::u16string_view text) noexcept {
    if (text.starts_with(u'-')) {
        text.remove_prefix(1);
    }
    return !text.empty() && std::all_of(text.begin(), text.end(), isDecimalDigit);
}

}  // namespace holm::common
