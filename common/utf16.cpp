#include "common/utf16.h"

#include <algorithm>
#include <cstring>

namespace holm::common {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Widens the leading run of ASCII bytes of [in, end) to `out`; returns the
// number of bytes consumed.
size_t widenAscii(const uint8_t* in, const uint8_t* end, char16_t* out) {
    const uint8_t* p = in;
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & kHighBits) {
            break;
        }
        for (int i = 0; i < 8; ++i) {
            out[i] = p[i];
        }
        p += 8;
        out += 8;
    }
    while (p != end && *p < 0x80) {
        *out++ = *p++;
    }
    return static_cast<size_t>(p - in);
}

char* encodeUtf8(uint32_t codePoint, char* out) {
    if (codePoint < 0x80) {
        *out++ = static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        *out++ = static_cast<char>(0xC0 | (codePoint >> 6));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (codePoint >> 12));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (codePoint >> 18));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return out;
}

char16_t* writeUtf16(uint32_t codePoint, char16_t* out) {
    if (codePoint < 0x10000) {
        *out++ = static_cast<char16_t>(codePoint);
    } else {
        codePoint -= 0x10000;
        *out++ = static_cast<char16_t>(0xD800 | (codePoint >> 10));
        *out++ = static_cast<char16_t>(0xDC00 | (codePoint & 0x3FF));
    }
    return out;
}

template <class Char>
std::basic_string_view<Char> trimImpl(std::basic_string_view<Char> text) {
    auto isBlank = [](Char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

bool matchesNoCaseAt(std::u16string_view haystack, size_t pos, std::u16string_view needle) {
    for (size_t i = 0; i < needle.size(); ++i) {
        if (foldCase(haystack[pos + i]) != foldCase(needle[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

// The decoder follows the well-formed byte table of Unicode (table 3-7): the
// lead byte fixes the number of continuation bytes and the range allowed for
// the first of them, which excludes overlong forms, surrogates and values
// above U+10FFFF. A byte outside the expected range ends the invalid part
// (one U+FFFD) and is then decoded afresh.
char16_t* Utf8ToUtf16Decoder::decodeByte(uint8_t byte, char16_t* out) {
    if (needed_ != 0) {
        if (byte >= lower_ && byte <= upper_) {
            lower_ = 0x80;
            upper_ = 0xBF;
            codePoint_ = (codePoint_ << 6) | (byte & 0x3F);
            return --needed_ == 0 ? writeUtf16(codePoint_, out) : out;
        }
        needed_ = 0;
        lower_ = 0x80;
        upper_ = 0xBF;
        *out++ = kReplacementCharacter;
    }
    if (byte < 0x80) {
        *out++ = byte;
    } else if (byte >= 0xC2 && byte <= 0xDF) {
        needed_ = 1;
        codePoint_ = byte & 0x1F;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        needed_ = 2;
        codePoint_ = byte & 0x0F;
        lower_ = byte == 0xE0 ? 0xA0 : 0x80;
        upper_ = byte == 0xED ? 0x9F : 0xBF;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        needed_ = 3;
        codePoint_ = byte & 0x07;
        lower_ = byte == 0xF0 ? 0x90 : 0x80;
        upper_ = byte == 0xF4 ? 0x8F : 0xBF;
    } else {
        *out++ = kReplacementCharacter;
    }
    return out;
}

void Utf8ToUtf16Decoder::feed(std::string_view bytes, std::u16string& out) {
    // Each byte gives at most one unit (a 4-byte sequence gives two), plus one
    // U+FFFD for a sequence left pending by the previous call.
    const size_t start = out.size();
    out.resize(start + bytes.size() + 1);
    char16_t* o = out.data() + start;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p != end) {
        if (needed_ == 0 && *p < 0x80) {
            const size_t count = widenAscii(p, end, o);
            p += count;
            o += count;
            continue;
        }
        o = decodeByte(*p++, o);
    }
    out.resize(static_cast<size_t>(o - out.data()));
}

void Utf8ToUtf16Decoder::finish(std::u16string& out) {
    if (needed_ != 0) {
        out.push_back(kReplacementCharacter);
    }
    *this = Utf8ToUtf16Decoder();
}

void Utf16ToUtf8Encoder::feed(std::u16string_view units, std::string& out) {
    const size_t start = out.size();
    out.resize(start + 3 * units.size() + 3);  // 3 bytes per unit at most
    char* o = out.data() + start;
    for (char16_t unit : units) {
        if (pendingHigh_ != 0) {
            if (isLowSurrogate(unit)) {
                const uint32_t codePoint =
                    0x10000 + ((uint32_t(pendingHigh_) - 0xD800) << 10) + (unit - 0xDC00);
                o = encodeUtf8(codePoint, o);
                pendingHigh_ = 0;
                continue;
            }
            o = encodeUtf8(kReplacementCharacter, o);
            pendingHigh_ = 0;
        }
        if (unit < 0x80) {
            *o++ = static_cast<char>(unit);
        } else if (isHighSurrogate(unit)) {
            pendingHigh_ = unit;
        } else {
            o = encodeUtf8(isLowSurrogate(unit) ? kReplacementCharacter : unit, o);
        }
    }
    out.resize(static_cast<size_t>(o - out.data()));
}

void Utf16ToUtf8Encoder::finish(std::string& out) {
    if (pendingHigh_ != 0) {
        char buffer[4];
        out.append(buffer, encodeUtf8(kReplacementCharacter, buffer));
        pendingHigh_ = 0;
    }
}

void Utf16LeToUtf8Decoder::feed(std::string_view bytes, std::string& out) {
    char16_t units[256];
    size_t count = 0;
    auto flush = [&] {
        encoder_.feed(std::u16string_view(units, count), out);
        count = 0;
    };
    for (char byte : bytes) {
        const auto value = static_cast<uint8_t>(byte);
        if (pendingByte_ < 0) {
            pendingByte_ = value;
            continue;
        }
        units[count++] = static_cast<char16_t>(pendingByte_ | (value << 8));
        pendingByte_ = -1;
        if (count == std::size(units)) {
            flush();
        }
    }
    flush();
}

void Utf16LeToUtf8Decoder::finish(std::string& out) {
    encoder_.finish(out);
    if (pendingByte_ >= 0) {
        char buffer[4];
        out.append(buffer, encodeUtf8(kReplacementCharacter, buffer));
        pendingByte_ = -1;
    }
}

void appendUtf8ToUtf16(std::u16string& out, std::string_view text) {
    Utf8ToUtf16Decoder decoder;
    decoder.feed(text, out);
    decoder.finish(out);
}

void appendUtf16ToUtf8(std::string& out, std::u16string_view text) {
    Utf16ToUtf8Encoder encoder;
    encoder.feed(text, out);
    encoder.finish(out);
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());  // never more code units than bytes
    appendUtf8ToUtf16(out, text);
    return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
    std::string out;
    appendUtf16ToUtf8(out, text);
    return out;
}

std::u16string toLowerAscii(std::u16string_view text) {
    std::u16string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char16_t c) { return toLowerAscii(c); });
    return out;
}

std::u16string toUpperAscii(std::u16string_view text) {
    std::u16string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char16_t c) { return toUpperAscii(c); });
    return out;
}

std::u16string_view trim(std::u16string_view text) noexcept {
    return trimImpl(text);
}
std::string_view trim(std::string_view text) noexcept {
    return trimImpl(text);
}

int compareNoCase(std::u16string_view a, std::u16string_view b) noexcept {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const char16_t x = foldCase(a[i]);
        const char16_t y = foldCase(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool equalsNoCase(std::u16string_view a, std::u16string_view b) noexcept {
    return a.size() == b.size() && matchesNoCaseAt(a, 0, b);
}

size_t findNoCase(std::u16string_view haystack, std::u16string_view needle, size_t from) noexcept {
    if (from > haystack.size() || needle.size() > haystack.size() - from) {
        return std::u16string_view::npos;
    }
    const size_t last = haystack.size() - needle.size();
    for (size_t pos = from; pos <= last; ++pos) {
        if (matchesNoCaseAt(haystack, pos, needle)) {
            return pos;
        }
    }
    return std::u16string_view::npos;
}

std::string truncateToAscii(std::u16string_view text) {
    std::string out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        out[i] = static_cast<char>(text[i] & 0xFF);
    }
    return out;
}

// A conversion is exact when converting back gives the input: replacement
// characters appear only where the input was invalid.
std::optional<std::u16string> utf8ToUtf16Strict(std::string_view text) {
    std::u16string converted = utf8ToUtf16(text);
    if (utf16ToUtf8(converted) != text) {
        return std::nullopt;
    }
    return converted;
}

std::optional<std::string> utf16ToUtf8Strict(std::u16string_view text) {
    std::string converted = utf16ToUtf8(text);
    if (utf8ToUtf16(converted) != text) {
        return std::nullopt;
    }
    return converted;
}

}  // namespace holm::common
