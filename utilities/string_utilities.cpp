#include "utilities/string_utilities.h"

namespace Tandro::Utilities {

std::string StringUtilities::TruncateToAscii(std::u16string_view text) {
    std::string result(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        result[i] = static_cast<char>(text[i] & 0xFF);
    }
    return result;
}

}  // namespace Tandro::Utilities
