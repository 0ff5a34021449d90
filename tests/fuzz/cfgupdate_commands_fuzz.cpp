// Command files of any content for the configuration updater: their
// commands read, each parsed, and all applied to a configuration, which is
// written out and parsed again. The input is also taken as one command in
// UTF-16.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "product/cfgupdate/update_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace holm::product::cfgupdate;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto commands = readCommandTexts(bytes);
    for (const auto& command : commands) {
        (void)parseCommand(command);
    }
    auto document = holm::product::cfglib::IniDocument::parse("[HOLM]\nLevel=1\nPath0=/a\n");
    (void)applyCommands(document, commands);
    (void)holm::product::cfglib::IniDocument::parse(document.serialize());

    std::u16string single(size / 2, u'\0');
    for (size_t i = 0; i < single.size(); ++i) {
        single[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    if (const auto command = parseCommand(single)) {
        auto empty = holm::product::cfglib::IniDocument::parse("");
        (void)applyCommands(empty, {single});
    }
    return 0;
}
