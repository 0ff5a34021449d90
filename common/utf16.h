// UTF-16 text helpers: conversions between UTF-8 and UTF-16, A-Z case folding,
// trimming, case-insensitive comparison and search.
//
// UTF-16 text is `char16_t` / `std::u16string`; narrow text is UTF-8. Every
// conversion replaces what cannot be decoded (invalid or truncated UTF-8,
// lone surrogates) with U+FFFD, one per maximal invalid part as Unicode
// recommends, so that a text converts the same however it is split into
// buffers. Case-insensitive operations fold A-Z only; every other code unit
// is compared by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace holm::common {

inline constexpr char16_t kReplacementCharacter = 0xFFFD;

// Decodes UTF-8 into UTF-16 across any number of buffers: a sequence cut at
// the end of one buffer is completed by the next.
class Utf8ToUtf16Decoder {
  public:
    // Appends the UTF-16 form of `bytes` to `out`; an incomplete sequence at
    // the end is kept for the next call.
    void feed(std::string_view bytes, std::u16string& out);
    std::u16string feed(std::string_view bytes) {
        std::u16string out;
        feed(bytes, out);
        return out;
    }
    // Ends the text: a pending incomplete sequence becomes U+FFFD. The decoder
    // is then ready for a new text.
    void finish(std::u16string& out);
    std::u16string finish() {
        std::u16string out;
        finish(out);
        return out;
    }
    bool hasPending() const noexcept { return needed_ != 0; }

  private:
    // Decodes one byte, writing what it completes at `out`; returns the new end.
    char16_t* decodeByte(uint8_t byte, char16_t* out);

    uint32_t codePoint_ = 0;
    uint8_t needed_ = 0;  // continuation bytes still expected
    uint8_t lower_ = 0x80;
    uint8_t upper_ = 0xBF;
};

// Encodes UTF-16 as UTF-8 across buffers: a surrogate pair split between two
// buffers is joined; a lone surrogate becomes U+FFFD.
class Utf16ToUtf8Encoder {
  public:
    void feed(std::u16string_view units, std::string& out);
    void finish(std::string& out);
    bool hasPending() const noexcept { return pendingHigh_ != 0; }

  private:
    char16_t pendingHigh_ = 0;
};

// Decodes UTF-16LE bytes (a file's content, say) into UTF-8 across buffers:
// an odd byte and a split surrogate pair are carried to the next buffer.
class Utf16LeToUtf8Decoder {
  public:
    void feed(std::string_view bytes, std::string& out);
    // A pending odd byte or lone high surrogate becomes U+FFFD.
    void finish(std::string& out);
    bool hasPending() const noexcept { return pendingByte_ >= 0 || encoder_.hasPending(); }

  private:
    Utf16ToUtf8Encoder encoder_;
    int pendingByte_ = -1;
};

// One-shot conversions of a complete text.
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);
// The same conversions refusing instead of repairing: nullopt for invalid
// UTF-8 or an unpaired surrogate (names on disk, table sources).
std::optional<std::u16string> utf8ToUtf16Strict(std::string_view text);
std::optional<std::string> utf16ToUtf8Strict(std::u16string_view text);
void appendUtf8ToUtf16(std::u16string& out, std::string_view text);
void appendUtf16ToUtf8(std::string& out, std::u16string_view text);

// A text handed over as a pointer that may be null (read as empty).
inline std::u16string_view viewOf(const char16_t* text) noexcept {
    return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

constexpr bool isHighSurrogate(char16_t unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool isLowSurrogate(char16_t unit) noexcept {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Folds A-Z to a-z; every other code unit is returned unchanged. Folding to
// lower case puts "[\]^_`" before the letters, as the C runtime's
// case-insensitive comparison does.
constexpr char16_t foldCase(char16_t c) noexcept {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}
constexpr char16_t toLowerAscii(char16_t c) noexcept {
    return foldCase(c);
}
constexpr char16_t toUpperAscii(char16_t c) noexcept {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}
// The value of a hexadecimal digit (either case), -1 for anything else.
constexpr int hexDigitValue(char16_t c) noexcept {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    const char16_t lower = foldCase(c);
    return lower >= u'a' && lower <= u'f' ? lower - u'a' + 10 : -1;
}
std::u16string toLowerAscii(std::u16string_view text);
std::u16string toUpperAscii(std::u16string_view text);

// The text without leading and trailing blanks, tabs, CRs and LFs.
std::u16string_view trim(std::u16string_view text) noexcept;
std::string_view trim(std::string_view text) noexcept;

// Equal unit for unit. Compares memory at once, where the standard
// comparison of UTF-16 texts goes one unit at a time (it also orders).
inline bool equalUnits(std::u16string_view a, std::u16string_view b) noexcept {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}

// Three-way comparison folding A-Z only: negative, zero or positive.
int compareNoCase(std::u16string_view a, std::u16string_view b) noexcept;
bool equalsNoCase(std::u16string_view a, std::u16string_view b) noexcept;
// Position of the first occurrence of `needle` at or after `from`, folding
// A-Z only; npos when absent. An empty needle is found at `from` (if within).
size_t findNoCase(std::u16string_view haystack, std::u16string_view needle,
                  size_t from = 0) noexcept;

// 8-bit text with each code unit truncated to its low 8 bits.
std::string truncateToAscii(std::u16string_view text);

}  // namespace holm::common
