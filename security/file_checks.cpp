#include "security/file_checks.h"

#include "platform/verified_open.h"

namespace holm::security {

bool isTrustedOwner(uint32_t owner) {
    return owner == 0 || owner == platform::effectiveUserId();
}

std::optional<std::string> readSmallFile(int fd, size_t limit, bool& tooLarge) {
    tooLarge = false;
    std::string content(limit + 1, '\0');
    size_t filled = 0;
    while (filled < content.size()) {
        const long long got =
            platform::readAt(fd, content.data() + filled, content.size() - filled, filled);
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<size_t>(got);
    }
    if (filled > limit) {
        tooLarge = true;
        return std::nullopt;
    }
    content.resize(filled);
    return content;
}

}  // namespace holm::security
