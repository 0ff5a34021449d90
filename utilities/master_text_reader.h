// Master texts: named values (mostly file names and registry locations) kept
// in the product's common text library "CommonTextRc.dll".
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "utilities/resource_text_file.h"

namespace Tandro::Utilities {

class IMasterTextReader {
  public:
    static constexpr const char* kDiTypeName = "IMasterTextReader";
    virtual ~IMasterTextReader() = default;

    // The value of the master text `name` (a symbolic name such as
    // "#FN_CFGLIB", compared ignoring the case of A-Z); empty when undefined.
    virtual std::u16string getText(std::u16string_view name) const = 0;
};

// Raised when the common text library cannot be opened or holds an entry that
// is not a master text.
class MasterTextError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads entries 1 to 999 once. Every non-empty entry has the form
// "any text$NAME$value": the name lies between the first and the second '$',
// the value is everything after the second '$'. An entry without two '$'
// fails the whole open. When a name appears twice, the lower entry wins.
// Immutable after construction; any thread may read.
class MasterTextReader final : public IMasterTextReader {
  public:
    static constexpr char16_t kLibraryName[] = u"CommonTextRc.dll";
    static constexpr uint32_t kFirstEntry = 1;
    static constexpr uint32_t kLastEntry = 999;

    explicit MasterTextReader(const ResourceTextFile& library);
    // Reads "CommonTextRc.dll" of `productDirectory`, which must carry a
    // valid signature by the product key (a product file).
    static std::shared_ptr<MasterTextReader> openInDirectory(std::u16string_view productDirectory);

    std::u16string getText(std::u16string_view name) const override;
    // The value, or nullopt when `name` is not defined (an empty value is
    // defined).
    std::optional<std::u16string> find(std::u16string_view name) const;

  private:
    std::map<std::u16string, std::u16string> values_;  // by name with a-z folded to A-Z
};

}  // namespace Tandro::Utilities
