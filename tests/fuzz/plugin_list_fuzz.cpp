// Plugin lists of any content: the XML form through Expat into the flat tree,
// and the inline form, with every reading operation applied afterwards.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf16.h"
#include "core/plugin_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto resolve = [](const std::u16string& name) { return u"/product/" + name; };

    holm::core::PluginList xml(resolve, resolve);
    if (xml.loadXml(bytes, u"fuzz.xml")) {
        xml.readEntries("plugins");
        xml.readEntries("plugins2");
        xml.getListAttribute(u"name", u"default");
        xml.close();
    }

    holm::core::PluginList inlineList(resolve, resolve);
    inlineList.loadList(u"@XMLFILE:" + holm::common::utf8ToUtf16(bytes));
    inlineList.readEntries("plugins");
    return 0;
}
