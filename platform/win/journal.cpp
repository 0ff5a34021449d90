#include "platform/journal.h"

namespace holm::platform {

// Windows has no system journal reached through standard error.
bool standardErrorIsJournal() {
    return false;
}

std::string journalSocketPath() {
    return {};
}

}  // namespace holm::platform
