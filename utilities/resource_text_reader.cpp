#include "utilities/resource_text_reader.h"

#include "common/utf16.h"

namespace Tandro::Utilities {

ResourceTextReader::ResourceTextReader(std::u16string_view path)
    : file_(ResourceTextFile::open(holm::text::utf16ToUtf8(path))) {}

std::u16string ResourceTextReader::LoadStringW(uint32_t number) const {
    return file_.find(number).value_or(std::u16string());
}

}  // namespace Tandro::Utilities
