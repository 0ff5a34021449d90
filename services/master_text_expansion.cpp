#include "services/master_text_expansion.h"

namespace holm::services {
namespace {

constexpr std::u16string_view kReferenceStart = u"$#";
constexpr char16_t kReferenceEnd = u'$';

void expandInto(std::u16string& out, std::u16string_view text, const MasterTextLookup& lookup,
                int depth) {
    size_t at = 0;
    for (size_t start = text.find(kReferenceStart); start != std::u16string_view::npos;
         start = text.find(kReferenceStart, at)) {
        const size_t end = text.find(kReferenceEnd, start + kReferenceStart.size());
        if (end == std::u16string_view::npos) {
            break;
        }
        out.append(text.substr(at, start - at));
        at = end + 1;
        // The name keeps its '#': "$#NAME$" names "#NAME".
        const std::u16string_view name = text.substr(start + 1, end - start - 1);
        const std::u16string_view reference = text.substr(start, at - start);
        std::optional<std::u16string> value;
        if (depth < kMaxReferenceDepth && out.size() < kMaxExpandedUnits) {
            value = lookup(name);
        }
        if (value) {
            expandInto(out, *value, lookup, depth + 1);
        } else {
            out.append(reference);
        }
    }
    out.append(text.substr(at));
}

}  // namespace

std::u16string expandMasterReferences(std::u16string_view text, const MasterTextLookup& lookup) {
    std::u16string out;
    expandInto(out, text, lookup, 0);
    return out;
}

}  // namespace holm::services
