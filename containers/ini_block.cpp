#include "containers/ini_block.h"

#include <algorithm>
#include <iterator>

#include "common/utf16.h"
#include "containers/text_file.h"
#include "containers/text_lines.h"
#include "platform/errors.h"

namespace holm::containers {

bool FoldedAsciiLess::operator()(std::u16string_view a, std::u16string_view b) const {
    return common::compareNoCase(a, b) < 0;
}

namespace {

namespace WinError = holm::platform::WinError;

std::u16string_view trimSpaces(std::u16string_view line) {
    const size_t first = line.find_first_not_of(u' ');
    if (first == std::u16string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(u' ') - first + 1);
}

bool isHeader(std::u16string_view trimmed) {
    return trimmed.size() >= 2 && trimmed.front() == u'[' && trimmed.back() == u']';
}

std::u16string_view headerName(std::u16string_view trimmed) {
    const size_t first = trimmed.find_first_not_of(u'[');
    if (first == std::u16string_view::npos) {
        return {};
    }
    const size_t last = trimmed.find_last_not_of(u']');
    return last == std::u16string_view::npos || last < first
               ? std::u16string_view()
               : trimmed.substr(first, last - first + 1);
}

constexpr std::string_view kBlockUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kBlockUtf16Mark = "\xFF\xFE";

void encodeUtf16Le(std::u16string_view text, std::string& out) {
    for (const char16_t unit : text) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
}

std::u16string decodeUtf16Le(std::string_view bytes) {
    std::u16string text;
    text.reserve(bytes.size() / 2 + 1);
    for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[at]) |
                                             (static_cast<uint8_t>(bytes[at + 1]) << 8)));
    }
    if (bytes.size() % 2 != 0) {
        text.push_back(holm::common::kReplacementCharacter);
    }
    return text;
}

// Whether `text` holds a character that ends a line or starts a new one in
// the written file.
bool breaksLine(std::u16string_view text) {
    return text.find_first_of(u"\r\n") != std::u16string_view::npos;
}

bool acceptableSection(std::u16string_view name) {
    return !name.empty() && !breaksLine(name) && !name.starts_with(u'[') &&
           name.find(u']') == std::u16string_view::npos;
}

bool acceptableKey(std::u16string_view key) {
    const std::u16string_view trimmed = trimSpaces(key);
    return !breaksLine(key) && key.find(u'=') == std::u16string_view::npos &&
           !trimmed.starts_with(u'[') && !trimmed.starts_with(u'#');
}

}  // namespace

bool CIniFileWithBlockMode::load(const char16_t* path) {
    startLines();
    path_ = path != nullptr ? path : u"";
    CTxtFileImpl file;
    if (const auto opened = file.openFile(path_.c_str(), false); !opened) {
        // A missing file is a new one; any other failure leaves a file that
        // writeFile must not overwrite with what was not read.
        unreadable_ = opened.windowsError() != WinError::kFileNotFound &&
                      opened.windowsError() != WinError::kPathNotFound;
        finishLines();
        return true;
    }
    std::string bytes;
    const auto read = file.readContent(bytes);
    file.close();
    if (!read) {
        unreadable_ = true;
        finishLines();
        return read.windowsError() != WinError::kFileTooLarge;
    }
    loadBytes(bytes);
    return true;
}

void CIniFileWithBlockMode::loadBytes(std::string_view bytes) {
    startLines();
    size_t unit = 1;
    if (bytes.starts_with(kBlockUtf16Mark)) {
        encoding_ = Encoding::Utf16Le;
        bytes.remove_prefix(kBlockUtf16Mark.size());
        unit = 2;
    } else if (bytes.starts_with(kBlockUtf8Mark)) {
        encoding_ = Encoding::Utf8Mark;
        bytes.remove_prefix(kBlockUtf8Mark.size());
    } else {
        encoding_ = Encoding::Utf8;  // an existing file without mark, even an empty one
    }
    auto isUnit = [&](size_t at, char wanted) {
        return bytes[at] == wanted && (unit == 1 || bytes[at + 1] == 0);
    };
    // Lines end at LF (a CR before it belongs to the line end); a file
    // ending in a line end has no empty last line.
    size_t start = 0;
    for (size_t at = 0; start < bytes.size(); at += unit) {
        const bool end = at + unit > bytes.size();
        if (!end && !isUnit(at, '\n')) {
            continue;
        }
        size_t stop = end ? bytes.size() : at;
        if (!end && stop >= start + unit && isUnit(stop - unit, '\r')) {
            stop -= unit;
        }
        const std::string_view raw = bytes.substr(start, stop - start);
        std::u16string decoded = unit == 2 ? decodeUtf16Le(raw) : holm::common::utf8ToUtf16(raw);
        std::replace(decoded.begin(), decoded.end(), u'\0', holm::common::kReplacementCharacter);
        const std::u16string line = holm::containers::cleanLine(decoded);
        if (!end || !line.empty()) {
            std::string again;
            if (unit == 2) {
                encodeUtf16Le(line, again);
            } else {
                holm::common::appendUtf16ToUtf8(again, line);
            }
            addLine(line, again == raw ? std::nullopt : std::optional<std::string>(raw));
        }
        start = end ? bytes.size() : at + unit;
    }
    finishLines();
}

bool CIniFileWithBlockMode::close() {
    const bool written = writeFile();
    path_.clear();
    startLines();
    finishLines();
    return written;
}

const char16_t* CIniFileWithBlockMode::getString(const char16_t* section, const char16_t* key,
                                                 const char16_t* defaultValue) {
    if (section == nullptr || key == nullptr) {
        return defaultValue;
    }
    for (const auto& record : sections_) {
        if (!holm::common::equalsNoCase(record.name, section)) {
            continue;
        }
        if (auto found = record.entries.find(std::u16string_view(key));
            found != record.entries.end()) {
            return found->second.c_str();
        }
    }
    return defaultValue;
}

bool CIniFileWithBlockMode::setString(const char16_t* section, const char16_t* key,
                                      const char16_t* value) {
    if (section == nullptr) {
        return key == nullptr && value == nullptr && writeFile();
    }
    auto named = [&](const holm::containers::IniSection& record) {
        return holm::common::equalsNoCase(record.name, section);
    };
    if (key == nullptr && value == nullptr) {
        std::erase_if(sections_, named);
        return true;
    }
    auto first = std::find_if(sections_.begin(), sections_.end(), named);
    const std::u16string_view keyText = key != nullptr ? key : u"";
    if (value == nullptr) {
        if (first != sections_.end()) {
            if (auto found = first->entries.find(keyText); found != first->entries.end()) {
                first->entries.erase(found);
            }
            if (auto found = first->rawEntries.find(keyText); found != first->rawEntries.end()) {
                first->rawEntries.erase(found);
            }
        }
        return true;
    }
    if (!acceptableKey(keyText) || breaksLine(value) ||
        (first == sections_.end() && !acceptableSection(section))) {
        return false;
    }
    if (first == sections_.end()) {
        sections_.push_back({section, {}, std::nullopt, {}});
        first = std::prev(sections_.end());
    }
    first->entries.insert_or_assign(std::u16string(keyText), std::u16string(value));
    if (auto found = first->rawEntries.find(keyText); found != first->rawEntries.end()) {
        first->rawEntries.erase(found);
    }
    return true;
}

bool CIniFileWithBlockMode::writeFile() {
    if (path_.empty() || unreadable_) {
        return false;
    }
    CTxtFileImpl file;
    return file.replaceContent(path_.c_str(), outputBytes()).ok();
}

void CIniFileWithBlockMode::startLines() {
    sections_.clear();
    leadingLines_.clear();
    leadingRaw_.clear();
    encoding_ = Encoding::Utf16Le;
    headerSeen_ = false;
    current_ = {};
    unreadable_ = false;
}

void CIniFileWithBlockMode::addLine(std::u16string_view line) {
    addLine(line, std::nullopt);
}

void CIniFileWithBlockMode::addLine(std::u16string_view line, std::optional<std::string> raw) {
    const std::u16string_view trimmed = trimSpaces(line);
    if (trimmed.starts_with(u'#') || (!isHeader(trimmed) && !headerSeen_)) {
        if (!headerSeen_) {
            leadingLines_.emplace_back(line);
            leadingRaw_.push_back(std::move(raw));
        }
        return;
    }
    if (isHeader(trimmed)) {
        headerSeen_ = true;
        keepCurrentSection();
        current_.name = headerName(trimmed);
        current_.rawHeader = std::move(raw);
        return;
    }
    const size_t equals = trimmed.find(u'=');
    if (current_.name.empty() || equals == std::u16string_view::npos) {
        return;
    }
    const std::u16string_view key = trimmed.substr(0, equals);
    const std::u16string_view value = trimmed.substr(equals + 1);
    // A repeated key takes the new value and keeps its first spelling.
    auto [entry, inserted] = current_.entries.try_emplace(std::u16string(key), value);
    if (!inserted) {
        entry->second = value;
    }
    if (raw) {
        current_.rawEntries.insert_or_assign(entry->first, std::move(*raw));
    } else if (auto found = current_.rawEntries.find(key); found != current_.rawEntries.end()) {
        current_.rawEntries.erase(found);
    }
}

void CIniFileWithBlockMode::finishLines() {
    keepCurrentSection();
}

void CIniFileWithBlockMode::keepCurrentSection() {
    if (!current_.name.empty()) {
        sections_.push_back(std::move(current_));
    }
    current_ = {};
}

std::vector<std::u16string> CIniFileWithBlockMode::outputLines() const {
    std::vector<std::u16string> lines(leadingLines_);
    for (const auto& section : sections_) {
        lines.push_back(u"[" + section.name + u"]");
        for (const auto& [key, value] : section.entries) {
            lines.push_back(key + u"=" + value);
        }
        lines.emplace_back();
    }
    return lines;
}

std::string CIniFileWithBlockMode::outputBytes() const {
    std::string out;
    switch (encoding_) {
        case Encoding::Utf16Le:
            out = kBlockUtf16Mark;
            break;
        case Encoding::Utf8Mark:
            out = kBlockUtf8Mark;
            break;
        case Encoding::Utf8:
            break;
    }
    const auto encoding = encoding_ == Encoding::Utf16Le ? holm::containers::TextEncoding::Utf16Le
                                                         : holm::containers::TextEncoding::Utf8;
    auto put = [&](std::u16string_view text, const std::string* raw) {
        if (raw == nullptr) {
            holm::containers::appendEncodedLine(text, encoding, out);
            return;
        }
        out += *raw;
        holm::containers::appendEncodedLine(u"", encoding, out);
    };
    for (size_t n = 0; n < leadingLines_.size(); ++n) {
        put(leadingLines_[n], leadingRaw_[n] ? &*leadingRaw_[n] : nullptr);
    }
    for (const auto& section : sections_) {
        put(u"[" + section.name + u"]", section.rawHeader ? &*section.rawHeader : nullptr);
        for (const auto& [key, value] : section.entries) {
            const auto raw = section.rawEntries.find(key);
            put(key + u"=" + value, raw != section.rawEntries.end() ? &raw->second : nullptr);
        }
        put(u"", nullptr);
    }
    return out;
}

}  // namespace holm::containers
