// Decimal integers in UTF-16 text, read by one set of rules.
#pragma once

#include <cstdint>
#include <string_view>

namespace holm::common {

// A decimal integer as the C runtime's atoi reads one: leading white space
// (space, \t to \r), an optional sign, then digits up to the first other
// character (no digit: 0). A value beyond the 32-bit range gives the nearest
// limit.
int32_t readDecimal(std::u16string_view text) noexcept;

// True when `text` is nothing but an optional '-' and at least one digit, as
// "%d" prints a number.
bool isPrintedDecimal(std::u16string_view text) noexcept;

}  // namespace holm::common
