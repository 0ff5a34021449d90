// Expands arbitrary texts over master texts taken from the input: the first
// line is the text, every further line "NAME=value" defines "#NAME". Cycles,
// unclosed references and references that multiply must all end, within the
// expansion's bound.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "common/utf16.h"
#include "services/master_text_expansion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string input =
        holm::common::utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    std::map<std::u16string, std::u16string> masters;
    size_t lineEnd = input.find(u'\n');
    const std::u16string text = input.substr(0, lineEnd);
    size_t longestValue = 0;
    while (lineEnd != std::u16string::npos) {
        const size_t start = lineEnd + 1;
        lineEnd = input.find(u'\n', start);
        const std::u16string line = input.substr(start, lineEnd - start);
        const size_t equals = line.find(u'=');
        if (equals != std::u16string::npos) {
            masters[u"#" + line.substr(0, equals)] = line.substr(equals + 1);
            longestValue = std::max(longestValue, line.size());
        }
    }
    const auto lookup = [&masters](std::u16string_view name) -> std::optional<std::u16string> {
        const auto found = masters.find(std::u16string(name));
        return found == masters.end() ? std::nullopt : std::optional(found->second);
    };
    const std::u16string out = holm::services::expandMasterReferences(text, lookup);
    const size_t bound = holm::services::kMaxExpandedUnits + text.size() +
                         (holm::services::kMaxReferenceDepth + 1) * longestValue;
    if (out.size() > bound) {
        __builtin_trap();  // the expansion grew past its bound
    }
    return 0;
}
