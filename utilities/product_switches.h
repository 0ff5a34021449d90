// Which optional modules are installed and which features are switched on.
#pragma once

#include <cstdint>
#include <set>
#include <string_view>

#include "utilities/product_settings.h"

namespace Tandro::Utilities {

class IModuleList {
  public:
    static constexpr const char* kDiTypeName = "IModuleList";
    virtual ~IModuleList() = default;
    virtual bool isModuleAvailable(uint32_t moduleId) const = 0;
};

class IFeatureControlReader {
  public:
    static constexpr const char* kDiTypeName = "IFeatureControlReader";
    virtual ~IFeatureControlReader() = default;
    virtual bool isFeatureEnabled(uint32_t featureId) const = 0;
};

// A fixed set of switched-on ids serving both interfaces.
//
// The set comes from an environment variable when it is set (even empty),
// otherwise from a file in the data directory, otherwise it is empty:
//   modules:  HOLM_MODULES,  <data directory>modules.txt
//   features: HOLM_FEATURES, <data directory>features.txt
// Both hold decimal ids separated by commas, blanks or line breaks, e.g.
// "3,17"; '#' starts a comment up to the end of the line. A malformed id is
// ignored (that switch stays off).
class SwitchSet final : public IModuleList, public IFeatureControlReader {
  public:
    explicit SwitchSet(std::set<uint32_t> ids) : ids_(std::move(ids)) {}

    static SwitchSet modules(const IProductSettings& settings,
                             const EnvironmentLookup& environment = processEnvironment);
    static SwitchSet features(const IProductSettings& settings,
                              const EnvironmentLookup& environment = processEnvironment);

    bool isModuleAvailable(uint32_t moduleId) const override { return ids_.contains(moduleId); }
    bool isFeatureEnabled(uint32_t featureId) const override { return ids_.contains(featureId); }

  private:
    std::set<uint32_t> ids_;
};

// The ids of a list in the form described above.
std::set<uint32_t> parseSwitchIds(std::string_view text);

}  // namespace Tandro::Utilities
