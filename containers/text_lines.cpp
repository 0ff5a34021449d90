#include "containers/text_lines.h"

namespace holm::containers {
namespace {

constexpr char16_t kLineFeed = u'\n';
constexpr char16_t kCarriageReturn = u'\r';
constexpr char16_t kBar = u'|';

void appendUtf16Le(std::u16string_view text, std::string& out) {
    for (const char16_t unit : text) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
}

}  // namespace

std::u16string cleanLine(std::u16string_view line) {
    std::u16string cleaned(line);
    for (char16_t& unit : cleaned) {
        if (unit == kCarriageReturn || unit == kLineFeed) {
            unit = kBar;
        }
    }
    const size_t first = cleaned.find_first_not_of(kBar);
    if (first == std::u16string::npos) {
        return {};
    }
    const size_t last = cleaned.find_last_not_of(kBar);
    return cleaned.substr(first, last - first + 1);
}

void TextLineDecoder::feed(std::string_view bytes, std::vector<std::u16string>& lines) {
    std::u16string decoded;
    decode(bytes, decoded);
    for (char16_t& unit : decoded) {
        if (unit == 0) {
            unit = common::kReplacementCharacter;
        }
    }
    splitLines(decoded, lines);
}

void TextLineDecoder::finish(std::vector<std::u16string>& lines) {
    if (encoding_ == TextEncoding::Utf8) {
        pendingLine_ += utf8_.finish();
    } else if (pendingByte_ >= 0) {
        pendingLine_.push_back(common::kReplacementCharacter);
    }
    pendingByte_ = -1;
    std::u16string last = cleanLine(pendingLine_);
    pendingLine_.clear();
    if (!last.empty()) {
        lines.push_back(std::move(last));
    }
}

void TextLineDecoder::decode(std::string_view bytes, std::u16string& out) {
    if (encoding_ == TextEncoding::Utf8) {
        utf8_.feed(bytes, out);
        return;
    }
    out.reserve(bytes.size() / 2 + 1);
    for (const char byte : bytes) {
        const auto value = static_cast<uint8_t>(byte);
        if (pendingByte_ < 0) {
            pendingByte_ = value;
        } else {
            out.push_back(static_cast<char16_t>(pendingByte_ | (value << 8)));
            pendingByte_ = -1;
        }
    }
}

void TextLineDecoder::splitLines(std::u16string_view text, std::vector<std::u16string>& lines) {
    size_t start = 0;
    for (size_t end = text.find(kLineFeed); end != std::u16string_view::npos;
         end = text.find(kLineFeed, start)) {
        pendingLine_.append(text.substr(start, end - start));
        lines.push_back(cleanLine(pendingLine_));
        pendingLine_.clear();
        start = end + 1;
    }
    pendingLine_.append(text.substr(start));
}

void appendEncodedLine(std::u16string_view text, TextEncoding encoding, std::string& out) {
    if (encoding == TextEncoding::Utf16Le) {
        appendUtf16Le(text, out);
        appendUtf16Le(u"\r\n", out);
        return;
    }
    common::Utf16ToUtf8Encoder encoder;
    encoder.feed(text, out);
    encoder.finish(out);
    out += "\r\n";
}

}  // namespace holm::containers
