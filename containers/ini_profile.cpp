#include "containers/ini_profile.h"

#include "common/utf16.h"

namespace holm::containers {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";

bool isUtf16(IniProfile::Encoding encoding) {
    return encoding == IniProfile::Encoding::Utf16Le || encoding == IniProfile::Encoding::Utf16Be;
}

std::string_view markOf(IniProfile::Encoding encoding) {
    switch (encoding) {
        case IniProfile::Encoding::Utf8Mark:
            return kUtf8Mark;
        case IniProfile::Encoding::Utf16Le:
            return kUtf16LeMark;
        case IniProfile::Encoding::Utf16Be:
            return kUtf16BeMark;
        case IniProfile::Encoding::Utf8:
            break;
    }
    return {};
}

IniProfile::Encoding detectEncoding(std::string_view bytes) {
    if (bytes.starts_with(kUtf16LeMark)) {
        return IniProfile::Encoding::Utf16Le;
    }
    if (bytes.starts_with(kUtf16BeMark)) {
        return IniProfile::Encoding::Utf16Be;
    }
    return bytes.starts_with(kUtf8Mark) ? IniProfile::Encoding::Utf8Mark
                                        : IniProfile::Encoding::Utf8;
}

// The code unit at byte `at` of a UTF-16 text (both bytes present).
char16_t unitAt(std::string_view bytes, size_t at, bool bigEndian) {
    const auto first = static_cast<uint8_t>(bytes[at]);
    const auto second = static_cast<uint8_t>(bytes[at + 1]);
    return static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
}

std::u16string decode(std::string_view bytes, IniProfile::Encoding encoding) {
    if (!isUtf16(encoding)) {
        return common::utf8ToUtf16(bytes);
    }
    std::u16string out;
    out.reserve(bytes.size() / 2 + 1);
    const bool bigEndian = encoding == IniProfile::Encoding::Utf16Be;
    for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
        out.push_back(unitAt(bytes, at, bigEndian));
    }
    if (bytes.size() % 2 != 0) {
        out.push_back(common::kReplacementCharacter);
    }
    return out;
}

std::string encode(std::u16string_view units, IniProfile::Encoding encoding) {
    if (!isUtf16(encoding)) {
        return common::utf16ToUtf8(units);
    }
    const bool bigEndian = encoding == IniProfile::Encoding::Utf16Be;
    std::string out;
    out.reserve(units.size() * 2);
    for (const char16_t unit : units) {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        out.push_back(bigEndian ? high : low);
        out.push_back(bigEndian ? low : high);
    }
    return out;
}

// Splits the bytes after the mark into lines, each with its line end (LF,
// or CR LF; the last line may have none).
struct RawLine {
    std::string_view content;  // without line end
    std::string_view whole;    // with line end
};
std::vector<RawLine> splitLines(std::string_view bytes, IniProfile::Encoding encoding) {
    const size_t unit = isUtf16(encoding) ? 2 : 1;
    const bool bigEndian = encoding == IniProfile::Encoding::Utf16Be;
    auto unitIs = [&](size_t at, char16_t wanted) {
        return unit == 1 ? bytes[at] == static_cast<char>(wanted)
                         : unitAt(bytes, at, bigEndian) == wanted;
    };
    std::vector<RawLine> lines;
    size_t start = 0;
    for (size_t at = 0; at + unit <= bytes.size(); at += unit) {
        if (!unitIs(at, u'\n')) {
            continue;
        }
        size_t contentEnd = at;
        if (contentEnd >= start + unit && unitIs(contentEnd - unit, u'\r')) {
            contentEnd -= unit;
        }
        lines.push_back(
            {bytes.substr(start, contentEnd - start), bytes.substr(start, at + unit - start)});
        start = at + unit;
    }
    if (start < bytes.size()) {
        lines.push_back({bytes.substr(start), bytes.substr(start)});
    }
    return lines;
}

std::u16string_view trimmed(std::u16string_view text) {
    return common::trim(text);
}

bool hasLineEnd(std::u16string_view text) {
    return text.find_first_of(u"\r\n") != std::u16string_view::npos;
}

}  // namespace

IniProfile IniProfile::parse(std::string_view bytes) {
    IniProfile profile(detectEncoding(bytes));
    bytes.remove_prefix(markOf(profile.encoding_).size());
    const std::vector<RawLine> lines = splitLines(bytes, profile.encoding_);
    // A file whose lines all end in a bare LF gets LF; any CR LF, or no line
    // end at all, gives CR LF.
    const size_t lineFeed = encode(u"\n", profile.encoding_).size();
    bool bareOnly = false;
    for (const RawLine& raw : lines) {
        const size_t end = raw.whole.size() - raw.content.size();
        if (end > lineFeed) {
            bareOnly = false;
            break;
        }
        bareOnly = bareOnly || end == lineFeed;
    }
    if (bareOnly) {
        profile.lineEnd_ = u"\n";
    }
    for (const RawLine& raw : lines) {
        profile.lines_.push_back({decode(raw.content, profile.encoding_), std::string(raw.whole)});
    }
    return profile;
}

IniProfile::Parsed IniProfile::parseLine(std::u16string_view text) {
    const std::u16string_view line = trimmed(text);
    if (line.starts_with(u'[')) {
        const std::u16string_view inside = line.substr(1, line.find(u']') - 1);
        return {Kind::Header, trimmed(inside), {}};
    }
    const size_t equals = line.find(u'=');
    if (line.starts_with(u';') || equals == std::u16string_view::npos) {
        return {};
    }
    std::u16string_view value = trimmed(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == u'"' || value.front() == u'\'')) {
        value = value.substr(1, value.size() - 2);
    }
    return {Kind::Entry, trimmed(line.substr(0, equals)), value};
}

std::optional<std::u16string> IniProfile::find(std::u16string_view section,
                                               std::u16string_view key) const {
    const size_t header = findSection(section);
    if (header == std::string::npos) {
        return std::nullopt;
    }
    const size_t line = findKey(header, key);
    if (line == std::string::npos) {
        return std::nullopt;
    }
    return std::u16string(parseLine(lines_[line].text).value);
}

bool IniProfile::set(std::u16string_view section, std::u16string_view key,
                     std::u16string_view value) {
    section = trimmed(section);
    key = trimmed(key);
    if (section.empty() || key.empty() || hasLineEnd(section) || hasLineEnd(key) ||
        hasLineEnd(value) || section.find(u']') != std::u16string_view::npos ||
        key.find(u'=') != std::u16string_view::npos || key.starts_with(u'[') ||
        key.starts_with(u';')) {
        return false;
    }
    const size_t header = findSection(section);
    if (header == std::string::npos) {
        if (!lines_.empty()) {
            endLine(lines_.size() - 1);
            if (!trimmed(lines_.back().text).empty()) {
                lines_.push_back(makeLine(u""));
            }
        }
        lines_.push_back(makeLine(u"[" + std::u16string(section) + u"]"));
        lines_.push_back(makeLine(std::u16string(key) + u"=" + std::u16string(value)));
        return true;
    }
    if (const size_t line = findKey(header, key); line != std::string::npos) {
        // The key keeps the spelling the file gave it; the line keeps its end.
        const std::u16string fileKey(parseLine(lines_[line].text).name);
        const bool ended = endsWithLineFeed(lines_[line].raw);
        Line replaced = makeLine(fileKey + u"=" + std::u16string(value));
        if (!ended && line + 1 == lines_.size()) {
            replaced.raw.resize(replaced.raw.size() - encode(lineEnd_, encoding_).size());
        }
        lines_[line] = std::move(replaced);
        return true;
    }
    // A new key goes after the section's last line that is not blank.
    size_t at = sectionEnd(header);
    while (at > header + 1 && trimmed(lines_[at - 1].text).empty()) {
        --at;
    }
    endLine(at - 1);
    insert(at, makeLine(std::u16string(key) + u"=" + std::u16string(value)));
    return true;
}

void IniProfile::removeKey(std::u16string_view section, std::u16string_view key) {
    const size_t header = findSection(section);
    if (header == std::string::npos) {
        return;
    }
    if (const size_t line = findKey(header, key); line != std::string::npos) {
        lines_.erase(lines_.begin() + static_cast<ptrdiff_t>(line));
    }
}

void IniProfile::removeSection(std::u16string_view section) {
    for (size_t header = findSection(section); header != std::string::npos;
         header = findSection(section, header)) {
        lines_.erase(lines_.begin() + static_cast<ptrdiff_t>(header),
                     lines_.begin() + static_cast<ptrdiff_t>(sectionEnd(header)));
    }
}

std::string IniProfile::bytes() const {
    std::string out(markOf(encoding_));
    for (const Line& line : lines_) {
        out += line.raw;
    }
    return out;
}

size_t IniProfile::findSection(std::u16string_view section, size_t from) const {
    section = trimmed(section);
    for (size_t at = from; at < lines_.size(); ++at) {
        const Parsed parsed = parseLine(lines_[at].text);
        if (parsed.kind == Kind::Header && common::equalsNoCase(parsed.name, section)) {
            return at;
        }
    }
    return std::string::npos;
}

size_t IniProfile::sectionEnd(size_t header) const {
    size_t at = header + 1;
    while (at < lines_.size() && parseLine(lines_[at].text).kind != Kind::Header) {
        ++at;
    }
    return at;
}

size_t IniProfile::findKey(size_t header, std::u16string_view key) const {
    key = trimmed(key);
    const size_t end = sectionEnd(header);
    for (size_t at = header + 1; at < end; ++at) {
        const Parsed parsed = parseLine(lines_[at].text);
        if (parsed.kind == Kind::Entry && common::equalsNoCase(parsed.name, key)) {
            return at;
        }
    }
    return std::string::npos;
}

IniProfile::Line IniProfile::makeLine(std::u16string text) const {
    std::string raw = encode(text, encoding_);
    raw += encode(lineEnd_, encoding_);
    return {std::move(text), std::move(raw)};
}

bool IniProfile::endsWithLineFeed(const std::string& raw) const {
    const std::string lineFeed = encode(u"\n", encoding_);
    return raw.ends_with(lineFeed) && raw.size() % lineFeed.size() == 0;
}

void IniProfile::endLine(size_t index) {
    std::string& raw = lines_[index].raw;
    const size_t unit = isUtf16(encoding_) ? 2 : 1;
    if (endsWithLineFeed(raw)) {
        return;
    }
    // An odd last byte of a UTF-16 file is kept, completed to a unit, so
    // that the line end that follows stays aligned.
    if (raw.size() % unit != 0) {
        raw.push_back('\0');
    }
    raw += encode(lineEnd_, encoding_);
}

void IniProfile::insert(size_t at, Line line) {
    lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(at), std::move(line));
}

}  // namespace holm::containers
