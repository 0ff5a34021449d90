// Where the product lives: its registry key, its directories and its
// configuration file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Tandro::Utilities {

class IProductSettings {
  public:
    static constexpr const char* kDiTypeName = "IProductSettings";
    virtual ~IProductSettings() = default;

    // The product's registry key below the local-machine root.
    virtual std::u16string getProductRegistryKey() const = 0;
    // The directory holding the product's libraries and data files; ends in '/'.
    virtual std::u16string getProductDirectory() const = 0;
    // The directory holding the product's changing data; ends in '/'.
    virtual std::u16string getDataDirectory() const = 0;
    // The product configuration file handed to the configuration library.
    virtual std::u16string getConfigurationFile() const = 0;
};

// Looks up an environment variable (UTF-8 value), nothing when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The process environment.
std::optional<std::string> processEnvironment(const char* name);

// The settings, fixed at construction. Each value can be overridden by an
// environment variable (an empty value counts as unset):
//   HOLM_PRODUCT_DIR   product directory; default: `productDirectory` as
//                      given (the directory of the core library), "./" if empty
//   HOLM_DATA_DIR      data directory; default: <product directory>data/
//   HOLM_CONFIG_FILE   configuration file; default: <data directory>holm.conf
//   HOLM_REGISTRY_KEY  registry key; default: SOFTWARE\Holm\Guard
// Directories are normalised to end in exactly one '/'.
class ProductSettings final : public IProductSettings {
  public:
    static constexpr char16_t kDefaultRegistryKey[] = u"SOFTWARE\\Holm\\Guard";

    explicit ProductSettings(std::u16string_view productDirectory,
                             const EnvironmentLookup& environment = processEnvironment);

    std::u16string getProductRegistryKey() const override { return registryKey_; }
    std::u16string getProductDirectory() const override { return productDirectory_; }
    std::u16string getDataDirectory() const override { return dataDirectory_; }
    std::u16string getConfigurationFile() const override { return configurationFile_; }

  private:
    std::u16string registryKey_;
    std::u16string productDirectory_;
    std::u16string dataDirectory_;
    std::u16string configurationFile_;
};

}  // namespace Tandro::Utilities
