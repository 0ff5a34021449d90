// The registry store's on-disk encodings: name validation, case folding,
// escaping of names into file names, and the value and key-metadata records.
// Everything here is pure computation over bytes; the files themselves are
// handled by the store.
//
// Value file (little-endian): "HRVL", version 1 (16 bits), 0 (16 bits), type
// (32), name length in UTF-16 units (32), data length in bytes (32), the name
// in UTF-16LE, the data. Key metadata file: "HRKY", version 1 (16 bits), 0
// (16 bits), name length (32), the name in UTF-16LE. A record's size must
// match its header exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry.h"

namespace holm::registry::format {

inline constexpr size_t kValueHeaderSize = 20;
inline constexpr size_t kKeyHeaderSize = 12;
// Largest value file the store accepts.
inline constexpr size_t kMaxValueFileSize =
    kValueHeaderSize + 2 * kMaxValueNameLength + kMaxValueSize;

// UTF-16 to UTF-8 and back; nothing for unpaired surrogates or bad UTF-8.
std::optional<std::string> toUtf8(std::u16string_view text);
std::optional<std::u16string> toUtf16(std::string_view text);

// Folds A-Z to a-z, nothing else.
std::u16string foldCase(std::u16string_view text);

// A key name component: 1 to 255 units, no backslash, no control character,
// not "." or "..", valid UTF-16.
bool isValidKeyName(std::u16string_view name);
// A value name: at most 16383 units, no control character, valid UTF-16.
bool isValidValueName(std::u16string_view name);

// Splits a key path into its components: one trailing backslash is
// ignored, the empty path has none; nothing when a component is not a valid
// key name (an empty one included) or there are more than kMaxKeyDepth.
std::optional<std::vector<std::u16string>> splitKeyPath(std::u16string_view path);
// Orders names without regard to case (A-Z folded), ties by their units.
void sortByFoldedName(std::vector<std::u16string>& names);

// The file name of a subkey ('k') or value ('v') entry: the kind, a dot and
// the case-folded UTF-8 name with every byte other than a-z, 0-9, '_', '-',
// blank and non-ASCII written as %XX; names that would grow too long become
// the kind, '#' and the SHA-256 of the folded name in hex. Entries of the
// store's own (metadata, lock) begin with a dot and never collide.
std::string diskName(char kind, std::u16string_view name);

struct ValueHeader {
    uint32_t type = 0;
    uint32_t nameLength = 0;
    uint32_t dataLength = 0;
};

std::vector<uint8_t> encodeValueFile(std::u16string_view name, const Value& value);
// Checks magic, version, limits and that the record fills `fileSize` exactly.
std::optional<ValueHeader> decodeValueHeader(std::span<const uint8_t> bytes, uint64_t fileSize);
// Decodes a whole value file; nothing if any part is unsound.
bool decodeValueFile(std::span<const uint8_t> bytes, std::u16string& name, Value& value);
// Decodes the name that follows a checked header (`bytes` starts at the file).
std::optional<std::u16string> decodeValueName(std::span<const uint8_t> bytes,
                                              const ValueHeader& header);

std::vector<uint8_t> encodeKeyMetadata(std::u16string_view name);
std::optional<std::u16string> decodeKeyMetadata(std::span<const uint8_t> bytes);

// Checks that a value's length fits its type (4 bytes for a DWORD, 8 for a
// QWORD, even for the string types) and the size limit.
bool isValidValue(const Value& value);

}  // namespace holm::registry::format
