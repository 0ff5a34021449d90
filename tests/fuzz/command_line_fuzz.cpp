// Command lines of any content: splitting into switches, matching and values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/utf16.h"
#include "services/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string text =
        holm::text::utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& part : holm::services::splitSwitches(text)) {
        holm::services::switchMatches(part, u"test");
        holm::services::switchValue(part);
    }
    const char16_t* arguments[] = {text.c_str(), text.c_str()};
    holm::services::splitSwitches(holm::services::commandLineFromArguments(2, arguments));
    return 0;
}
