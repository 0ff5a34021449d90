#include "platform/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace holm::platform {
namespace {

// Parses a decimal number that ends at `end` (or the text's end).
bool parseDecimal(const std::string& text, size_t begin, size_t end, unsigned long long& value) {
    if (begin >= end || end - begin > 20) {
        return false;
    }
    value = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

}  // namespace

bool standardErrorIsJournal() {
    const char* variable = std::getenv("JOURNAL_STREAM");
    if (variable == nullptr) {
        return false;
    }
    const std::string text(variable);
    const size_t colon = text.find(':');
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (colon == std::string::npos || !parseDecimal(text, 0, colon, device) ||
        !parseDecimal(text, colon + 1, text.size(), inode)) {
        return false;
    }
    struct stat status {};
    if (::fstat(STDERR_FILENO, &status) != 0) {
        return false;
    }
    return static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

std::string journalSocketPath() {
    const char* configured = std::getenv("HOLM_JOURNAL_SOCKET");
    return configured != nullptr && *configured != '\0' ? configured
                                                        : "/run/systemd/journal/socket";
}

}  // namespace holm::platform
