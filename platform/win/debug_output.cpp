#include "platform/debug_output.h"

#include <cstdlib>
#include <cstring>

#include "platform/io.h"
#include "platform/win/native.h"

namespace holm::platform {
namespace {

bool toStandardError() {
    static const bool enabled = [] {
        const char* value = std::getenv("HOLM_DEBUG_OUTPUT");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

}  // namespace

// Lines go to the debugger (OutputDebugString: nobody sees them unless a
// debugger listens), and to standard error as well when HOLM_DEBUG_OUTPUT=1.
void debugOutput(std::string_view line) {
    std::wstring text = win::wide(line);
    text += L'\n';
    ::OutputDebugStringW(text.c_str());
    if (toStandardError()) {
        std::string copy(line);
        copy += '\n';
        (void)io::writeFull(2, copy);  // nothing to report a failed trace to
    }
}

}  // namespace holm::platform
