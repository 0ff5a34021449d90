// The newer resource-string service (interface id 21): owned texts, over the
// product utility library's text services.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/mutex.h"
#include "hlmplg/res_string.h"
#include "security/trust_store.h"
#include "utilities/master_text_reader.h"
#include "utilities/resource_text_reader.h"

namespace holm::services {

// What the service reads of the product: its directory and registry key and
// the master text service (null when the master texts could not be read);
// the keys resource libraries are verified with (null: the system's) and
// where a refused one is reported (may be empty).
struct ProductTexts {
    std::u16string productDirectory;
    std::u16string productRegistryKey;
    std::shared_ptr<const Tandro::Utilities::IMasterTextReader> masterTexts;
    const security::TrustStore* trust = nullptr;
    std::function<void(const std::u16string& line)> log;
};

class ResString2 : public HlmPlg::IResString2 {
  public:
    explicit ResString2(ProductTexts product) : product_(std::move(product)) {}

    std::u16string getMasterText(const char16_t* name) override;
    std::u16string loadString(uint32_t id) override;
    std::u16string formatMasterText(const char16_t* name, ...) override;
    std::u16string formatString(uint32_t id, ...) override;
    std::u16string getFilePath(const char16_t* name) override;
    bool setResourceLibrary(const char16_t* path) override;
    std::u16string getProductRegistryKey() override;

  private:
    std::shared_ptr<const Tandro::Utilities::ResourceTextReader> reader() const EXCLUDES(lock_);
    std::u16string masterText(std::u16string_view name) const;

    const ProductTexts product_;
    mutable common::Mutex lock_;  // guards the reader reference, not the reads
    std::shared_ptr<const Tandro::Utilities::ResourceTextReader> reader_ GUARDED_BY(lock_);
};

}  // namespace holm::services
