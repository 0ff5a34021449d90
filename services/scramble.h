// Scrambled configuration values: a secret kept in the configuration file
// not as plain text but in a stored form of 80 hexadecimal digits.
//
// This hides a value from a casual look at the file; it is not encryption
// (the key is in the product), so file permissions still protect secrets.
//
// The stored form is 40 bytes in hexadecimal: a length byte and up to 39
// bytes of UTF-8 text, padded, all combined with a fixed key stream. A text
// of other length takes the second path: an even number of hexadecimal
// digits (up to 78) is the text's bytes combined with the same key stream,
// without length byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace holm::services {

// The plain text of a stored value; empty for an empty or malformed value
// (not hexadecimal, an impossible length, text that is not UTF-8 or holds a
// NUL).
std::u16string unscramble(std::u16string_view stored);

// The stored form (80 digits, lower case) of `text`; nothing when its UTF-8
// form is longer than 39 bytes or holds a NUL.
std::optional<std::u16string> scramble(std::u16string_view text);

}  // namespace holm::services
