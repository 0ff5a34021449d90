#include "utilities/product_switches.h"

#include <charconv>

#include "common/utf16.h"
#include "platform/io.h"

namespace Tandro::Utilities {
namespace {

constexpr std::string_view kSeparators = ", \t\r\n";

std::set<uint32_t> loadSwitches(const char* variable, const std::u16string& file,
                                const EnvironmentLookup& environment) {
    if (auto value = environment(variable)) {
        return parseSwitchIds(*value);
    }
    // A list of ids is small; a file far larger than any such list is not one.
    constexpr size_t kLimit = 1024 * 1024;
    const auto content = holm::platform::io::readSmallFile(holm::common::utf16ToUtf8(file), kLimit);
    return content ? parseSwitchIds(*content) : std::set<uint32_t>{};
}

}  // namespace

std::set<uint32_t> parseSwitchIds(std::string_view text) {
    std::set<uint32_t> ids;
    while (!text.empty()) {
        const size_t lineEnd = text.find('\n');
        std::string_view line = text.substr(0, lineEnd);
        text.remove_prefix(lineEnd == std::string_view::npos ? text.size() : lineEnd + 1);
        line = line.substr(0, line.find('#'));
        while (!line.empty()) {
            const size_t tokenEnd = line.find_first_of(kSeparators);
            const std::string_view token = line.substr(0, tokenEnd);
            line.remove_prefix(tokenEnd == std::string_view::npos ? line.size() : tokenEnd + 1);
            uint32_t id = 0;
            const auto [end, error] =
                std::from_chars(token.data(), token.data() + token.size(), id);
            if (!token.empty() && error == std::errc() && end == token.data() + token.size()) {
                ids.insert(id);
            }
        }
    }
    return ids;
}

SwitchSet SwitchSet::modules(const IProductSettings& settings,
                             const EnvironmentLookup& environment) {
    return SwitchSet(
        loadSwitches("HOLM_MODULES", settings.getDataDirectory() + u"modules.txt", environment));
}

SwitchSet SwitchSet::features(const IProductSettings& settings,
                              const EnvironmentLookup& environment) {
    return SwitchSet(
        loadSwitches("HOLM_FEATURES", settings.getDataDirectory() + u"features.txt", environment));
}

}  // namespace Tandro::Utilities
