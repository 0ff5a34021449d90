// Configuration files of any content: parsed, every reading operation and a
// change applied, and the result written out and parsed again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "product/cfglib/ini_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto document = holm::product::cfglib::IniDocument::parse(bytes);
    (void)document.find(u"COMMON\\TempDirectory");
    for (const auto& section : document.subElements(u"")) {
        for (const auto& key : document.subElements(section)) {
            (void)document.find(section + u"\\" + key);
        }
    }
    (void)document.set(u"COMMON\\TempDirectory", u" /tmp/fuzz ");
    (void)document.set(u"NEW\\Key", u"value");
    (void)document.remove(u"HOLM");
    const auto again = holm::product::cfglib::IniDocument::parse(document.serialize());
    (void)again.find(u"NEW\\Key");
    return 0;
}
