#include "utilities/resource_text_reader.h"

#include "common/utf16.h"

namespace Tandro::Utilities {

ResourceTextReader::ResourceTextReader(std::u16string_view path, holm::security::FileRole role)
    : file_(holm::security::VerifiedData::open(holm::common::utf16ToUtf8(path),
                                               holm::security::TrustStore::system(), role)) {}

std::u16string ResourceTextReader::LoadStringW(uint32_t number) const {
    return file_.find(number).value_or(std::u16string());
}

}  // namespace Tandro::Utilities
