// Text formatting and conversion.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace Tandro::Utilities::StringUtilities {

// Printf-style formatting of a UTF-16 format with the system's rules (in a
// UTF-16 format %s is UTF-16 text and %S narrow text; %n is never written).
std::u16string SafeVSprintf(const char16_t* format, va_list arguments);

// Message-style formatting: "%1".."%99" insert the arguments by position,
// each with an optional "!fmt!" type (default "!s!").
std::u16string FormatMessageWV(const char16_t* format, va_list arguments);

// 8-bit text made of the low byte of each UTF-16 unit, for names that are
// known to be ASCII (factory and type names).
std::string TruncateToAscii(std::u16string_view text);

}  // namespace Tandro::Utilities::StringUtilities
