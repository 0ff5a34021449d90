#include "utilities/resource_text_file.h"

#include <cstring>
#include <limits>

namespace Tandro::Utilities {
namespace {

uint32_t readLe32(const std::byte* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

void appendLe32(std::vector<std::byte>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::byte>((value >> shift) & 0xFF));
    }
}

holm::security::VerifiedData requirePassed(holm::security::VerifiedData file) {
    if (!file.passed()) {
        throw ResourceFileError(file.message());
    }
    return file;
}

constexpr size_t kIdField = 0;
constexpr size_t kOffsetField = 4;
constexpr size_t kLengthField = 8;

}  // namespace

ResourceTextFile::ResourceTextFile(std::span<const std::byte> bytes) : bytes_(bytes) {
    count_ = validate();
}

ResourceTextFile::ResourceTextFile(holm::security::VerifiedData file)
    : file_(requirePassed(std::move(file))), bytes_(file_->bytes()) {
    try {
        count_ = validate();
    } catch (const ResourceFileError& failure) {
        throw ResourceFileError(file_->path() + ": " + failure.what());
    }
}

size_t ResourceTextFile::validate() const {
    if (bytes_.size() < kHeaderSize) {
        throw ResourceFileError("not a resource text file: shorter than its header");
    }
    if (std::memcmp(bytes_.data(), kMagic, sizeof kMagic) != 0) {
        throw ResourceFileError("not a resource text file: wrong magic");
    }
    if (readLe32(bytes_.data() + 8) != kVersion) {
        throw ResourceFileError("unsupported resource text file version");
    }
    const size_t count = readLe32(bytes_.data() + 12);
    // Sizes stay far below SIZE_MAX (files are at most 64 MiB or an in-memory
    // span), so after this test no sum below can overflow.
    if (count > (bytes_.size() - kHeaderSize) / kEntrySize) {
        throw ResourceFileError("resource text file truncated: entry table exceeds the file");
    }
    const size_t dataStart = kHeaderSize + count * kEntrySize;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0 && field(i, kIdField) <= field(i - 1, kIdField)) {
            throw ResourceFileError("resource text file: ids not strictly increasing at entry " +
                                    std::to_string(i));
        }
        const size_t offset = field(i, kOffsetField);
        const size_t byteLength = size_t{field(i, kLengthField)} * 2;  // < 2^33: no overflow
        if (offset < dataStart || offset > bytes_.size() || byteLength > bytes_.size() - offset) {
            throw ResourceFileError("resource text file: text of id " +
                                    std::to_string(field(i, kIdField)) + " lies outside the data");
        }
    }
    return count;
}

uint32_t ResourceTextFile::field(size_t index, size_t fieldOffset) const {
    return readLe32(bytes_.data() + kHeaderSize + index * kEntrySize + fieldOffset);
}

uint32_t ResourceTextFile::idAt(size_t index) const {
    if (index >= count_) {
        throw std::out_of_range("resource text index out of range");
    }
    return field(index, kIdField);
}

std::u16string ResourceTextFile::textAt(size_t index) const {
    const std::byte* start = bytes_.data() + field(index, kOffsetField);
    std::u16string text(field(index, kLengthField), u'\0');
    // Byte by byte: the data may sit at any alignment and is little-endian.
    for (size_t unit = 0; unit < text.size(); ++unit) {
        text[unit] = static_cast<char16_t>(static_cast<unsigned>(start[2 * unit]) |
                                           static_cast<unsigned>(start[2 * unit + 1]) << 8);
    }
    return text;
}

std::optional<std::u16string> ResourceTextFile::find(uint32_t id) const {
    size_t low = 0;
    size_t high = count_;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const uint32_t middleId = field(middle, kIdField);
        if (middleId == id) {
            return textAt(middle);
        }
        if (middleId < id) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return std::nullopt;
}

std::vector<std::byte> ResourceTextFile::encode(const std::map<uint32_t, std::u16string>& texts) {
    size_t totalUnits = 0;
    for (const auto& [id, text] : texts) {
        totalUnits += text.size();
    }
    const size_t dataStart = kHeaderSize + texts.size() * kEntrySize;
    if (texts.size() > std::numeric_limits<uint32_t>::max() ||
        dataStart + totalUnits * 2 > kMaxSize) {
        throw ResourceFileError("resource texts too large for one file");
    }
    std::vector<std::byte> out;
    out.reserve(dataStart + totalUnits * 2);
    for (char c : kMagic) {
        out.push_back(static_cast<std::byte>(c));
    }
    appendLe32(out, kVersion);
    appendLe32(out, static_cast<uint32_t>(texts.size()));
    size_t offset = dataStart;
    for (const auto& [id, text] : texts) {
        appendLe32(out, id);
        appendLe32(out, static_cast<uint32_t>(offset));
        appendLe32(out, static_cast<uint32_t>(text.size()));
        offset += text.size() * 2;
    }
    for (const auto& [id, text] : texts) {
        for (char16_t unit : text) {
            out.push_back(static_cast<std::byte>(unit & 0xFF));
            out.push_back(static_cast<std::byte>(unit >> 8));
        }
    }
    return out;
}

}  // namespace Tandro::Utilities
