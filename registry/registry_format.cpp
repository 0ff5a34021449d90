#include "registry/registry_format.h"

#include "common/utf16.h"
#include "security/crypto.h"

#include <algorithm>
#include <array>

namespace holm::registry::format {
namespace {

constexpr std::array<uint8_t, 4> kValueMagic = {'H', 'R', 'V', 'L'};
constexpr std::array<uint8_t, 4> kKeyMagic = {'H', 'R', 'K', 'Y'};
constexpr uint16_t kVersion = 1;
// Longest escaped name kept readable; room is left for the kind prefix and
// for the temporary-file prefix within the 255-byte file-name limit.
constexpr size_t kMaxReadableDiskName = 180;

void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

uint16_t getU16(std::span<const uint8_t> in, size_t at) {
    return static_cast<uint16_t>(in[at] | (in[at + 1] << 8));
}

uint32_t getU32(std::span<const uint8_t> in, size_t at) {
    return static_cast<uint32_t>(in[at]) | (static_cast<uint32_t>(in[at + 1]) << 8) |
           (static_cast<uint32_t>(in[at + 2]) << 16) | (static_cast<uint32_t>(in[at + 3]) << 24);
}

void putUtf16(std::vector<uint8_t>& out, std::u16string_view text) {
    for (char16_t unit : text) {
        putU16(out, static_cast<uint16_t>(unit));
    }
}

std::u16string getUtf16(std::span<const uint8_t> in, size_t at, size_t units) {
    std::u16string text(units, u'\0');
    for (size_t i = 0; i < units; ++i) {
        text[i] = static_cast<char16_t>(getU16(in, at + 2 * i));
    }
    return text;
}

bool hasMagic(std::span<const uint8_t> in, const std::array<uint8_t, 4>& magic) {
    return in.size() >= magic.size() && std::equal(magic.begin(), magic.end(), in.begin());
}

bool hasControlCharacter(std::u16string_view text) {
    return std::any_of(text.begin(), text.end(), [](char16_t c) { return c < 0x20 || c == 0x7F; });
}

bool keepsSpelling(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '_' ||
           byte == '-' || byte == ' ' || byte >= 0x80;
}

// Hashing cannot fail short of a broken crypto library, which sha256
// reports by throwing rather than by a silently wrong name.
std::string sha256Hex(std::string_view bytes) {
    const auto digest =
        security::sha256(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    return security::toHex(digest);
}

}  // namespace

std::optional<std::string> toUtf8(std::u16string_view text) {
    return common::utf16ToUtf8Strict(text);
}

std::optional<std::u16string> toUtf16(std::string_view text) {
    return common::utf8ToUtf16Strict(text);
}

std::u16string foldCase(std::u16string_view text) {
    return common::toLowerAscii(text);
}

bool isValidKeyName(std::u16string_view name) {
    return !name.empty() && name.size() <= kMaxKeyNameLength && name != u"." && name != u".." &&
           name.find(u'\\') == std::u16string_view::npos && !hasControlCharacter(name) &&
           toUtf8(name).has_value();
}

bool isValidValueName(std::u16string_view name) {
    return name.size() <= kMaxValueNameLength && !hasControlCharacter(name) &&
           toUtf8(name).has_value();
}

std::string diskName(char kind, std::u16string_view name) {
    const std::string folded = toUtf8(foldCase(name)).value_or(std::string());
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string escaped{kind, '.'};
    for (char c : folded) {
        const auto byte = static_cast<unsigned char>(c);
        if (keepsSpelling(byte)) {
            escaped += c;
        } else {
            escaped += '%';
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0xF];
        }
    }
    if (escaped.size() <= kMaxReadableDiskName) {
        return escaped;
    }
    return std::string{kind, '#'} + sha256Hex(folded);
}

std::vector<uint8_t> encodeValueFile(std::u16string_view name, const Value& value) {
    std::vector<uint8_t> out(kValueMagic.begin(), kValueMagic.end());
    out.reserve(kValueHeaderSize + 2 * name.size() + value.data.size());
    putU16(out, kVersion);
    putU16(out, 0);
    putU32(out, value.type);
    putU32(out, static_cast<uint32_t>(name.size()));
    putU32(out, static_cast<uint32_t>(value.data.size()));
    putUtf16(out, name);
    out.insert(out.end(), value.data.begin(), value.data.end());
    return out;
}

std::optional<ValueHeader> decodeValueHeader(std::span<const uint8_t> bytes, uint64_t fileSize) {
    if (bytes.size() < kValueHeaderSize || !hasMagic(bytes, kValueMagic) ||
        getU16(bytes, 4) != kVersion || getU16(bytes, 6) != 0) {
        return std::nullopt;
    }
    ValueHeader header{getU32(bytes, 8), getU32(bytes, 12), getU32(bytes, 16)};
    if (header.nameLength > kMaxValueNameLength || header.dataLength > kMaxValueSize) {
        return std::nullopt;
    }
    // Both lengths are bounded above, so this sum cannot overflow.
    const uint64_t expected =
        kValueHeaderSize + 2 * uint64_t{header.nameLength} + uint64_t{header.dataLength};
    if (expected != fileSize) {
        return std::nullopt;
    }
    return header;
}

std::optional<std::u16string> decodeValueName(std::span<const uint8_t> bytes,
                                              const ValueHeader& header) {
    if (bytes.size() < kValueHeaderSize + 2 * size_t{header.nameLength}) {
        return std::nullopt;
    }
    std::u16string name = getUtf16(bytes, kValueHeaderSize, header.nameLength);
    if (!isValidValueName(name)) {
        return std::nullopt;
    }
    return name;
}

bool decodeValueFile(std::span<const uint8_t> bytes, std::u16string& name, Value& value) {
    const auto header = decodeValueHeader(bytes, bytes.size());
    if (!header) {
        return false;
    }
    auto decodedName = decodeValueName(bytes, *header);
    if (!decodedName) {
        return false;
    }
    Value decoded;
    decoded.type = header->type;
    const auto data = bytes.subspan(kValueHeaderSize + 2 * size_t{header->nameLength});
    decoded.data.assign(data.begin(), data.end());
    if (!isValidValue(decoded)) {
        return false;
    }
    name = std::move(*decodedName);
    value = std::move(decoded);
    return true;
}

std::vector<uint8_t> encodeKeyMetadata(std::u16string_view name) {
    std::vector<uint8_t> out(kKeyMagic.begin(), kKeyMagic.end());
    putU16(out, kVersion);
    putU16(out, 0);
    putU32(out, static_cast<uint32_t>(name.size()));
    putUtf16(out, name);
    return out;
}

std::optional<std::u16string> decodeKeyMetadata(std::span<const uint8_t> bytes) {
    if (bytes.size() < kKeyHeaderSize || !hasMagic(bytes, kKeyMagic) ||
        getU16(bytes, 4) != kVersion || getU16(bytes, 6) != 0) {
        return std::nullopt;
    }
    const uint32_t length = getU32(bytes, 8);
    if (length > kMaxKeyNameLength || bytes.size() != kKeyHeaderSize + 2 * size_t{length}) {
        return std::nullopt;
    }
    std::u16string name = getUtf16(bytes, kKeyHeaderSize, length);
    if (!isValidKeyName(name)) {
        return std::nullopt;
    }
    return name;
}

bool isValidValue(const Value& value) {
    if (value.data.size() > kMaxValueSize) {
        return false;
    }
    switch (value.type) {
        case kTypeDword:
            return value.data.size() == 4;
        case kTypeQword:
            return value.data.size() == 8;
        case kTypeString:
        case kTypeExpandString:
        case kTypeMultiString:
            return value.data.size() % 2 == 0;
        default:
            return true;
    }
}

std::optional<std::vector<std::u16string>> splitKeyPath(std::u16string_view path) {
    if (!path.empty() && path.back() == u'\\') {
        path.remove_suffix(1);
    }
    std::vector<std::u16string> components;
    if (path.empty()) {
        return components;
    }
    size_t start = 0;
    while (true) {
        const size_t end = std::min(path.find(u'\\', start), path.size());
        const auto component = path.substr(start, end - start);
        if (!isValidKeyName(component) || components.size() >= kMaxKeyDepth) {
            return std::nullopt;
        }
        components.emplace_back(component);
        if (end == path.size()) {
            return components;
        }
        start = end + 1;
    }
}

void sortByFoldedName(std::vector<std::u16string>& names) {
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
        const auto foldedA = foldCase(a);
        const auto foldedB = foldCase(b);
        return foldedA != foldedB ? foldedA < foldedB : a < b;
    });
}

}  // namespace holm::registry::format
