// Event names and the runtime directory: how a name becomes a file name,
// the same on every system.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/utf16.h"
#include "platform/named_event.h"

namespace holm::platform {
namespace {

constexpr size_t kMaxEncodedName = 200;

bool keptAsIs(char16_t unit) {
    return (unit >= u'a' && unit <= u'z') || (unit >= u'0' && unit <= u'9') || unit == u'_' ||
           unit == u'-';
}

void appendHex(std::string& out, uint32_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kDigits[(value >> shift) & 0xF]);
    }
}

void appendUtf8(std::string& out, uint32_t code) {
    if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        return out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
}

std::string escape(const std::u16string& folded) {
    std::string out;
    for (size_t i = 0; i < folded.size(); ++i) {
        const char16_t unit = folded[i];
        if (keptAsIs(unit)) {
            out.push_back(static_cast<char>(unit));
        } else if (unit < 0x80) {
            out.push_back('%');
            appendHex(out, unit, 2);
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < folded.size() &&
                   folded[i + 1] >= 0xDC00 && folded[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800u) << 10) + (folded[i + 1] - 0xDC00u));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            out += "%u";
            appendHex(out, unit, 4);
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

uint64_t fnv1a(const std::u16string& text, uint64_t basis) {
    uint64_t hash = basis;
    for (char16_t unit : text) {
        for (int byte = 0; byte < 2; ++byte) {
            hash ^= static_cast<uint8_t>(unit >> (8 * byte));
            hash *= 0x100000001B3ull;
        }
    }
    return hash;
}

int hexValue(std::string_view digits) {
    int value = 0;
    for (char digit : digits) {
        const int one = common::hexDigitValue(static_cast<char16_t>(digit));
        if (one < 0) {
            return -1;
        }
        value = value * 16 + one;
    }
    return value;
}

}  // namespace

std::u16string namedEventNameOf(std::string_view fileName) {
    if (!fileName.starts_with("e.")) {
        return {};
    }
    fileName.remove_prefix(2);
    std::u16string name;
    // Kept characters and UTF-8 are copied in runs; escapes are decoded.
    size_t run = 0;
    for (size_t i = 0; i < fileName.size();) {
        if (fileName[i] != '%') {
            ++i;
            continue;
        }
        common::appendUtf8ToUtf16(name, fileName.substr(run, i - run));
        const bool wide = i + 1 < fileName.size() && fileName[i + 1] == 'u';
        const size_t digits = wide ? 4 : 2;
        const size_t start = i + (wide ? 2 : 1);
        const int value =
            start + digits <= fileName.size() ? hexValue(fileName.substr(start, digits)) : -1;
        if (value < 0) {
            return {};
        }
        name.push_back(static_cast<char16_t>(value));
        i = run = start + digits;
    }
    common::appendUtf8ToUtf16(name, fileName.substr(run));
    return name;
}

std::string runtimeDirectory() {
    const char* configured = std::getenv("HOLM_RUNTIME_DIR");
    return configured != nullptr && *configured != '\0' ? configured : "/run/holm";
}

std::string namedEventFileName(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxNamedEventName) {
        return {};
    }
    const std::u16string folded = common::toLowerAscii(name);
    std::string escaped = escape(folded);
    if (escaped.size() <= kMaxEncodedName) {
        return "e." + escaped;
    }
    std::string hashed = "h.";
    const uint64_t first = fnv1a(folded, 0xCBF29CE484222325ull);
    const uint64_t second = fnv1a(folded, 0x84222325CBF29CE4ull);
    appendHex(hashed, static_cast<uint32_t>(first >> 32), 8);
    appendHex(hashed, static_cast<uint32_t>(first), 8);
    appendHex(hashed, static_cast<uint32_t>(second >> 32), 8);
    appendHex(hashed, static_cast<uint32_t>(second), 8);
    return hashed;
}

}  // namespace holm::platform
