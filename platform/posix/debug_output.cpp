#include "platform/debug_output.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/io.h"

namespace holm::platform {

namespace {
bool enabled() {
    static const bool on = [] {
        const char* value = std::getenv("HOLM_DEBUG_OUTPUT");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return on;
}
}  // namespace

void debugOutput(std::string_view line) {
    if (!enabled()) {
        return;
    }
    std::string text = "[debug] ";
    text.append(line);
    text.push_back('\n');
    // One write per line keeps lines of several threads apart.
    // Diagnostics only: a standard error that cannot take the line loses it.
    (void)io::writeFull(STDERR_FILENO, text);
}

}  // namespace holm::platform
