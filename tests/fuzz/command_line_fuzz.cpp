// Command lines of any content: splitting into switches, matching and values;
// splitting into program arguments by the Windows rules, and joining them back
// (after splitting a joined line every argument must come back unchanged).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/utf16.h"
#include "platform/command_line.h"
#include "platform/process_info.h"
#include "services/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string text =
        holm::common::utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& part : holm::services::splitSwitches(text)) {
        holm::services::switchMatches(part, u"test");
        holm::services::switchValue(part);
    }
    const char16_t* switches[] = {text.c_str(), text.c_str()};
    holm::services::splitSwitches(holm::services::commandLineFromArguments(2, switches));
    auto arguments8 = holm::platform::splitCommandLine(holm::common::utf16ToUtf8(text));
    holm::platform::splitCommandLine(text);
    if (!arguments8.empty()) {
        arguments8[0] = "program";  // a program name has no escapes, so no quotes
        const std::string joined = holm::platform::commandLineText(arguments8);
        if (holm::platform::splitCommandLine(std::string_view(joined)) != arguments8) {
            std::abort();
        }
    }
    return 0;
}
