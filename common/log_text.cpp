#include "common/log_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/utf16.h"

namespace holm::common {

namespace {

// How many units at the start of `text` are printable ASCII (0x20 to 0x7E),
// the common case of a log line; checked eight at a time where the processor
// compares eight units at once, else four at a time in one 64-bit word.
size_t printableAsciiPrefix(std::u16string_view text) {
    size_t at = 0;
#if defined(__SSE2__)
    // Signed comparisons: units from 0x8000 up are negative and fail the
    // first one, as they should.
    const __m128i belowPrintable = _mm_set1_epi16(0x1F);
    const __m128i abovePrintable = _mm_set1_epi16(0x7F);
    for (; at + 8 <= text.size(); at += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + at));
        const __m128i printable = _mm_and_si128(_mm_cmpgt_epi16(units, belowPrintable),
                                                _mm_cmplt_epi16(units, abovePrintable));
        if (_mm_movemask_epi8(printable) != 0xFFFF) {
            break;
        }
    }
#endif
    constexpr uint64_t kLanes = 0x0001000100010001;
    for (; at + 4 <= text.size(); at += 4) {
        uint64_t units = 0;
        std::memcpy(&units, text.data() + at, sizeof units);
        // Every lane below 0x80; then bit 7 of lane + 0x60 is set when the
        // lane is at least 0x20, and bit 7 of lane + 1 when it is 0x7F.
        if ((units & (0xFF80 * kLanes)) != 0 ||
            ((units + 0x60 * kLanes) & (0x80 * kLanes)) != 0x80 * kLanes ||
            ((units + kLanes) & (0x80 * kLanes)) != 0) {
            break;
        }
    }
    while (at < text.size() && text[at] >= 0x20 && text[at] < 0x7F) {
        ++at;
    }
    return at;
}

bool isBidiControl(char16_t unit) {
    return (unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2066 && unit <= 0x2069);
}

// The escape written for `unit`, or nothing when it is kept as it is.
std::u16string_view escapeOf(char16_t unit, bool keepTabs, char16_t (&buffer)[8]) {
    static constexpr char16_t kHex[] = u"0123456789abcdef";
    if (unit == u'\t' && keepTabs) {
        return {};
    }
    switch (unit) {
        case u'\n':
            return u"\\n";
        case u'\r':
            return u"\\r";
        case u'\t':
            return u"\\t";
        default:
            break;
    }
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
        buffer[0] = u'\\';
        buffer[1] = u'x';
        buffer[2] = kHex[(unit >> 4) & 0xF];
        buffer[3] = kHex[unit & 0xF];
        return {buffer, 4};
    }
    if (unit == 0x2028 || unit == 0x2029 || isBidiControl(unit)) {
        buffer[0] = u'\\';
        buffer[1] = u'u';
        for (int digit = 0; digit < 4; ++digit) {
            buffer[2 + digit] = kHex[(unit >> (12 - 4 * digit)) & 0xF];
        }
        return {buffer, 6};
    }
    return {};
}

// Escapes `text` onto the end of `out` until `limit` units are added;
// returns how many units of `text` were taken. Runs of printable ASCII, most
// of any line, go in whole.
size_t escapeInto(std::u16string_view text, size_t limit, std::u16string& out,
                  bool keepTabs = false) {
    const size_t base = out.size();
    out.reserve(base + std::min(text.size(), limit) + 32);
    size_t at = 0;
    while (at < text.size()) {
        size_t run = at;
        while (run < text.size() && text[run] >= 0x20 && text[run] < 0x7F) {
            ++run;
        }
        if (run > at) {
            const size_t room = limit - (out.size() - base);
            const size_t take = std::min(run - at, room);
            out.append(text.data() + at, take);
            at += take;
            if (at < run) {
                break;  // the limit is reached
            }
            continue;
        }
        char16_t buffer[8];
        std::u16string_view escape = escapeOf(text[at], keepTabs, buffer);
        // A surrogate pair stays whole: both units fit, or neither is kept.
        const bool pair = escape.empty() && isHighSurrogate(text[at]) && at + 1 < text.size();
        const size_t needed = !escape.empty() ? escape.size() : pair ? 2 : 1;
        if (out.size() - base + needed > limit) {
            break;
        }
        if (!escape.empty()) {
            out += escape;
            ++at;
        } else {
            out.append(text.data() + at, needed);
            at += needed;
        }
    }
    return at;
}

void appendCutMarker(std::u16string& out, size_t more) {
    out += u"...[cut ";
    out += utf8ToUtf16(std::to_string(more));
    out += u" more]";
}

}  // namespace

std::u16string logInsert(std::u16string_view text, size_t limit) {
    std::u16string out;
    const size_t taken = escapeInto(text, limit, out);
    if (taken < text.size()) {
        appendCutMarker(out, text.size() - taken);
    }
    return out;
}

// Only the part of a long text that can be kept is converted: `limit` units
// never need more than three bytes each, plus a sequence cut at the end.
std::string logInsert(std::string_view text, size_t limit) {
    const size_t window = limit < text.size() / 3 ? limit * 3 + 4 : text.size();
    const std::u16string units = utf8ToUtf16(text.substr(0, window));
    std::u16string out;
    const size_t taken = escapeInto(units, limit, out);
    if (taken < units.size() || window < text.size()) {
        const size_t shown = utf16ToUtf8(std::u16string_view(units).substr(0, taken)).size();
        appendCutMarker(out, text.size() > shown ? text.size() - shown : 0);
    }
    return utf16ToUtf8(out);
}

std::u16string logLineText(std::u16string_view text) {
    return logInsert(text, kMaxLogLine);
}

std::string logLineText(std::string_view text) {
    return logInsert(text, kMaxLogLine);
}

std::u16string reportLineText(std::u16string_view text) {
    std::u16string out;
    appendReportLineText(out, text);
    return out;
}

void appendReportLineText(std::u16string& out, std::u16string_view text) {
    const size_t taken = escapeInto(text, kMaxLogLine, out, true);
    if (taken < text.size()) {
        appendCutMarker(out, text.size() - taken);
    }
}

void makeReportLineText(std::u16string& out, size_t from) {
    const std::u16string_view text = std::u16string_view(out).substr(from);
    if (text.size() <= kMaxLogLine) {
        const std::u16string_view rest = text.substr(printableAsciiPrefix(text));
        if (std::all_of(rest.begin(), rest.end(), [](char16_t unit) {
                // What escapeOf keeps (report lines keep the tab).
                return (unit >= 0x20 && unit < 0x7F) || unit == u'\t' ||
                       (unit >= 0xA0 &&
                        (unit < 0x2028 || (unit > 0x202E && unit < 0x2066) || unit > 0x2069));
            })) {
            return;  // the text stays as it is
        }
    }
    const std::u16string raw(text);
    out.resize(from);
    appendReportLineText(out, raw);
}

}  // namespace holm::common
