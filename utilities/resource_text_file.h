// Resource text libraries: numbered UTF-16 texts in a small data file.
//
// Layout (all numbers little-endian, offsets in bytes from the file start):
//
//   0   magic    8 bytes "HOLMRES\0"
//   8   version  u32, 1
//   12  count    u32
//   16  count entries of { id u32, offset u32, length u32 (UTF-16 units) },
//       sorted by strictly increasing id
//   ..  string data: UTF-16LE texts, without terminators
//
// Every text lies after the entry table and inside the file; texts may share
// bytes. Such files carry Windows library names ("holmmsg.dll") because they
// identify product files, but they are never executed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "security/verified_data.h"

namespace Tandro::Utilities {

// Raised for a file that cannot be read or is not a valid resource text file.
class ResourceFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class ResourceTextFile {
  public:
    static constexpr char kMagic[8] = {'H', 'O', 'L', 'M', 'R', 'E', 'S', '\0'};
    static constexpr uint32_t kVersion = 1;
    static constexpr size_t kHeaderSize = 16;
    static constexpr size_t kEntrySize = 12;

    // Largest file; the verified read refuses larger ones.
    static constexpr uint64_t kMaxSize = holm::security::VerifiedData::kMaxSize;

    // Validates `bytes` completely (header, every entry's range, id order).
    // The bytes are not copied: they must outlive the object (a table built
    // into a program, a test's buffer).
    explicit ResourceTextFile(std::span<const std::byte> bytes);

    // Keeps the content of a verified file and validates it; raises
    // ResourceFileError with the verification's reason when it was refused.
    explicit ResourceTextFile(holm::security::VerifiedData file);

    // A moved-from object is empty (no texts), never a view of freed bytes.
    ResourceTextFile(ResourceTextFile&& other) noexcept
        : file_(std::move(other.file_)),
          bytes_(std::exchange(other.bytes_, {})),
          count_(std::exchange(other.count_, 0)) {}
    ResourceTextFile& operator=(ResourceTextFile&& other) noexcept {
        file_ = std::move(other.file_);
        bytes_ = std::exchange(other.bytes_, {});
        count_ = std::exchange(other.count_, 0);
        return *this;
    }

    // Number of texts, and the id of the index-th text in id order.
    size_t size() const noexcept { return count_; }
    uint32_t idAt(size_t index) const;

    // The text with number `id`, if the file has one.
    std::optional<std::u16string> find(uint32_t id) const;

    // The file's bytes for `texts` (id -> text), ready to be written.
    static std::vector<std::byte> encode(const std::map<uint32_t, std::u16string>& texts);

  private:
    // Checks the whole header and entry table; returns the entry count.
    size_t validate() const;
    uint32_t field(size_t index, size_t fieldOffset) const;
    std::u16string textAt(size_t index) const;

    // Moving the verified content keeps its bytes where they are.
    std::optional<holm::security::VerifiedData> file_;
    std::span<const std::byte> bytes_;
    size_t count_ = 0;
};

}  // namespace Tandro::Utilities
