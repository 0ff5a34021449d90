#include "utilities/product_settings.h"

#include <cstdlib>

#include "common/utf16.h"
#include "utilities/path.h"

namespace Tandro::Utilities {
namespace {

// The variable's value, or `fallback` when it is unset or empty.
std::u16string overridden(const EnvironmentLookup& environment, const char* name,
                          std::u16string fallback) {
    auto value = environment(name);
    return value && !value->empty() ? holm::common::utf8ToUtf16(*value) : std::move(fallback);
}

}  // namespace

std::optional<std::string> processEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

ProductSettings::ProductSettings(std::u16string_view productDirectory,
                                 const EnvironmentLookup& environment) {
    productDirectory_ = Path::NormaliseDirectory(
        overridden(environment, "HOLM_PRODUCT_DIR",
                   productDirectory.empty() ? u"./" : std::u16string(productDirectory)));
    dataDirectory_ = Path::NormaliseDirectory(
        overridden(environment, "HOLM_DATA_DIR", productDirectory_ + u"data/"));
    configurationFile_ = overridden(environment, "HOLM_CONFIG_FILE", dataDirectory_ + u"holm.conf");
    registryKey_ = overridden(environment, "HOLM_REGISTRY_KEY", kDefaultRegistryKey);
}

}  // namespace Tandro::Utilities
