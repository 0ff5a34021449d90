// Numbered texts of one resource library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "utilities/resource_text_file.h"

namespace Tandro::Utilities {

// Immutable after construction; any thread may read.
class ResourceTextReader {
  public:
    // Reads the resource library at `path` (UTF-16, used as given: relative
    // paths are the caller's to resolve) after verifying it for `role` against
    // the system's trusted keys. Raises ResourceFileError, a
    // std::runtime_error, when the file is refused, unreadable or not valid.
    ResourceTextReader(std::u16string_view path, holm::security::FileRole role);
    // Serves the texts of an already opened (e.g. verified) file.
    explicit ResourceTextReader(ResourceTextFile file) : file_(std::move(file)) {}

    // The text with that number; empty when the library has none.
    std::u16string LoadStringW(uint32_t number) const;

  private:
    ResourceTextFile file_;
};

}  // namespace Tandro::Utilities
