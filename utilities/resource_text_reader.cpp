#include "utilities/resource_text_reader.h"

#include "utilities/text_conversion.h"

namespace Tandro::Utilities {

ResourceTextReader::ResourceTextReader(std::u16string_view path)
    : file_(ResourceTextFile::open(Text::toUtf8(path))) {}

std::u16string ResourceTextReader::LoadStringW(uint32_t number) const {
    return file_.find(number).value_or(std::u16string());
}

}  // namespace Tandro::Utilities
