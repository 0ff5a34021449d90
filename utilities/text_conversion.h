// UTF-8 <-> UTF-16 conversion for the utility layer's own needs (paths handed
// to the platform layer, environment values, table sources).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Tandro::Utilities::Text {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(std::u16string_view text);

// UTF-8 to UTF-16; every malformed sequence becomes U+FFFD.
std::u16string toUtf16(std::string_view text);

// UTF-8 to UTF-16; nothing when the text is not well-formed UTF-8 (overlong
// forms, surrogates and values above U+10FFFF are malformed).
std::optional<std::u16string> toUtf16Strict(std::string_view text);

}  // namespace Tandro::Utilities::Text
