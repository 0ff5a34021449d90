#include "common/format.h"
#include "utilities/string_utilities.h"

namespace Tandro::Utilities {

std::u16string StringUtilities::SafeVSprintf(const char16_t* format, va_list arguments) {
    return holm::common::vformatPrintf(format, arguments);
}

std::u16string StringUtilities::FormatMessageWV(const char16_t* format, va_list arguments) {
    return holm::common::vformatMessage(format, arguments);
}

}  // namespace Tandro::Utilities
