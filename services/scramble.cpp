#include "services/scramble.h"

#include <array>
#include <cstdint>
#include <vector>

#include "common/utf16.h"

namespace holm::services {

namespace {

constexpr size_t kStoredDigits = 80;
constexpr size_t kStoredBytes = kStoredDigits / 2;
constexpr size_t kMaxTextBytes = kStoredBytes - 1;

constexpr std::array<uint8_t, 16> kKey = {0x5a, 0x1f, 0xc3, 0x88, 0x27, 0xe4, 0x6d, 0x90,
                                          0x3b, 0xa6, 0x71, 0x0e, 0xd9, 0x44, 0xb2, 0x17};

uint8_t keyByte(size_t index) {
    return static_cast<uint8_t>(kKey[index % kKey.size()] ^ (index * 0x9d + 0x35));
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

// The bytes of an even number of hexadecimal digits, unmasked.
std::optional<std::vector<uint8_t>> unmask(std::u16string_view digits) {
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int high = hexDigit(digits[i]);
        const int low = hexDigit(digits[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>((high << 4 | low) ^ keyByte(i / 2)));
    }
    return bytes;
}

std::u16string textOf(const uint8_t* bytes, size_t size) {
    const std::string_view narrow(reinterpret_cast<const char*>(bytes), size);
    if (narrow.find('\0') != std::string_view::npos) {
        return {};
    }
    auto text = common::utf8ToUtf16Strict(narrow);
    return text ? std::move(*text) : std::u16string();
}

}  // namespace

std::u16string unscramble(std::u16string_view stored) {
    if (stored.empty() || stored.size() > kStoredDigits) {
        return {};
    }
    const auto bytes = unmask(stored);
    if (!bytes) {
        return {};
    }
    if (stored.size() != kStoredDigits) {
        return textOf(bytes->data(), bytes->size());
    }
    const size_t length = (*bytes)[0];
    if (length > kMaxTextBytes) {
        return {};
    }
    return textOf(bytes->data() + 1, length);
}

std::optional<std::u16string> scramble(std::u16string_view text) {
    const std::string narrow = common::utf16ToUtf8(text);
    if (narrow.size() > kMaxTextBytes || narrow.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    std::array<uint8_t, kStoredBytes> bytes{};
    bytes[0] = static_cast<uint8_t>(narrow.size());
    std::copy(narrow.begin(), narrow.end(), bytes.begin() + 1);
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string stored;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t masked = bytes[i] ^ keyByte(i);
        stored.push_back(kDigits[masked >> 4]);
        stored.push_back(kDigits[masked & 0x0F]);
    }
    return stored;
}

}  // namespace holm::services
