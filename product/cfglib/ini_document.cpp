#include "product/cfglib/ini_document.h"

#include <unordered_set>

#include "common/utf16.h"

namespace holm::product::cfglib {

namespace {

constexpr char16_t kSeparator = u'\\';

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string_view trimBlanks(std::u16string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::u16string decodeUtf16(std::string_view bytes, bool bigEndian) {
    std::u16string out;
    out.reserve(bytes.size() / 2 + 1);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<uint8_t>(bytes[i]);
        const auto second = static_cast<uint8_t>(bytes[i + 1]);
        out.push_back(bigEndian ? static_cast<char16_t>(first << 8 | second)
                                : static_cast<char16_t>(second << 8 | first));
    }
    if (bytes.size() % 2 != 0) {
        out.push_back(u'\uFFFD');  // a trailing half unit
    }
    return out;
}

void appendUtf16(std::string& out, std::u16string_view text, bool bigEndian) {
    for (char16_t unit : text) {
        const auto high = static_cast<char>(unit >> 8);
        const auto low = static_cast<char>(unit & 0xFF);
        out.push_back(bigEndian ? high : low);
        out.push_back(bigEndian ? low : high);
    }
}

bool startsWith(std::string_view bytes, std::string_view prefix) {
    return bytes.substr(0, prefix.size()) == prefix;
}

std::u16string folded(std::u16string_view text) {
    return common::toLowerAscii(text);
}

std::u16string indexKey(std::u16string_view section, std::u16string_view key) {
    std::u16string result = folded(section);
    result.push_back(kSeparator);
    result += folded(key);
    return result;
}

bool hasLineBreak(std::u16string_view text) {
    return text.find_first_of(u"\r\n") != std::u16string_view::npos;
}

}  // namespace

IniDocument IniDocument::parse(std::string_view bytes) {
    IniDocument document;
    std::u16string text;
    if (startsWith(bytes, "\xEF\xBB\xBF")) {
        document.encoding_ = Encoding::Utf8Bom;
        text = common::utf8ToUtf16(bytes.substr(3));
    } else if (startsWith(bytes, "\xFF\xFE")) {
        document.encoding_ = Encoding::Utf16Le;
        text = decodeUtf16(bytes.substr(2), false);
    } else if (startsWith(bytes, "\xFE\xFF")) {
        document.encoding_ = Encoding::Utf16Be;
        text = decodeUtf16(bytes.substr(2), true);
    } else {
        text = common::utf8ToUtf16(bytes);
    }

    document.finalNewline_ = text.empty() || text.back() == u'\n';
    std::u16string section;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\n', start);
        const bool last = end == std::u16string::npos;
        if (last) {
            end = text.size();
        }
        std::u16string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r') {
            line.pop_back();
            document.crlf_ = document.crlf_ || document.lines_.empty();
        }
        document.lines_.push_back(parseLine(std::move(line), section));
        if (document.lines_.back().kind == Kind::Section) {
            section = document.lines_.back().section;
        }
        start = end + 1;
    }
    document.reindex();
    return document;
}

IniDocument::Line IniDocument::parseLine(std::u16string text,
                                         const std::u16string& currentSection) {
    Line line;
    line.section = currentSection;
    const std::u16string_view content = trimBlanks(text);
    if (content.empty() || content.front() == u';' || content.front() == u'#') {
        line.text = std::move(text);
        return line;
    }
    if (content.front() == u'[') {
        const size_t close = content.find(u']');
        if (close != std::u16string_view::npos) {
            line.kind = Kind::Section;
            line.name = std::u16string(trimBlanks(content.substr(1, close - 1)));
            line.section = folded(line.name);
        }
        line.text = std::move(text);
        return line;
    }
    const size_t equals = content.find(u'=');
    if (equals != std::u16string_view::npos && equals != 0) {
        std::u16string_view value = trimBlanks(content.substr(equals + 1));
        if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"') {
            value = value.substr(1, value.size() - 2);
        }
        line.kind = Kind::Entry;
        line.name = std::u16string(trimBlanks(content.substr(0, equals)));
        line.value = std::u16string(value);
    }
    line.text = std::move(text);
    return line;
}

std::string IniDocument::serialize() const {
    std::u16string text;
    const std::u16string_view lineEnd = crlf_ ? u"\r\n" : u"\n";
    for (size_t i = 0; i < lines_.size(); ++i) {
        text += lines_[i].text;
        if (i + 1 < lines_.size() || finalNewline_) {
            text += lineEnd;
        }
    }
    std::string out;
    switch (encoding_) {
        case Encoding::Utf8:
            return common::utf16ToUtf8(text);
        case Encoding::Utf8Bom:
            return "\xEF\xBB\xBF" + common::utf16ToUtf8(text);
        case Encoding::Utf16Le:
            out = "\xFF\xFE";
            appendUtf16(out, text, false);
            return out;
        case Encoding::Utf16Be:
            out = "\xFE\xFF";
            appendUtf16(out, text, true);
            return out;
    }
    return out;
}

bool IniDocument::splitPath(std::u16string_view path, std::u16string_view& section,
                            std::u16string_view& key) {
    const size_t separator = path.find(kSeparator);
    if (separator == std::u16string_view::npos) {
        return false;
    }
    section = path.substr(0, separator);
    key = path.substr(separator + 1);
    return true;
}

void IniDocument::reindex() {
    index_.clear();
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == Kind::Entry) {
            index_.try_emplace(indexKey(lines_[i].section, lines_[i].name), i);
        }
    }
}

std::optional<std::u16string_view> IniDocument::find(std::u16string_view path) const {
    std::u16string_view section;
    std::u16string_view key;
    if (!splitPath(path, section, key)) {
        return std::nullopt;
    }
    const auto found = index_.find(indexKey(trimBlanks(section), trimBlanks(key)));
    if (found == index_.end()) {
        return std::nullopt;
    }
    return std::u16string_view(lines_[found->second].value);
}

std::optional<size_t> IniDocument::lastLineOf(const std::u16string& section) const {
    std::optional<size_t> last;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.section == section && (line.kind != Kind::Other || last)) {
            last = i;
        }
    }
    return last;
}

bool IniDocument::set(std::u16string_view path, std::u16string_view value) {
    std::u16string_view section;
    std::u16string_view key;
    if (!splitPath(path, section, key)) {
        return false;
    }
    section = trimBlanks(section);
    key = trimBlanks(key);
    if (key.empty() || hasLineBreak(path) || hasLineBreak(value) ||
        key.find(u'=') != std::u16string_view::npos || key.front() == u'[' || key.front() == u';' ||
        key.front() == u'#' || section.find(u']') != std::u16string_view::npos) {
        return false;
    }
    // Quotes keep blanks at either end and a value that is quoted itself.
    const bool quote = !value.empty() && (isBlank(value.front()) || isBlank(value.back()) ||
                                          (value.front() == u'"' && value.back() == u'"'));
    const auto entryText = [&](std::u16string_view name) {
        std::u16string text(name);
        text += quote ? u"=\"" : u"=";
        text += value;
        if (quote) {
            text += u'"';
        }
        return text;
    };

    const auto found = index_.find(indexKey(section, key));
    if (found != index_.end()) {
        Line& line = lines_[found->second];
        line.text = entryText(line.name);
        line.value = std::u16string(value);
        return true;
    }
    const std::u16string sectionKey = folded(section);
    Line entry;
    entry.kind = Kind::Entry;
    entry.section = sectionKey;
    entry.name = std::u16string(key);
    entry.value = std::u16string(value);
    entry.text = entryText(key);
    if (const auto last = lastLineOf(sectionKey)) {
        // After the section's last entry, before blank lines that end it.
        size_t at = *last;
        while (at > 0 && lines_[at].kind == Kind::Other) {
            --at;
        }
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at + 1), std::move(entry));
    } else {
        if (!section.empty()) {
            Line header;
            header.kind = Kind::Section;
            header.section = sectionKey;
            header.name = std::u16string(section);
            header.text = u"[" + header.name + u"]";
            lines_.push_back(std::move(header));
        } else {
            lines_.insert(lines_.begin(), std::move(entry));
            reindex();
            return true;
        }
        lines_.push_back(std::move(entry));
    }
    reindex();
    return true;
}

bool IniDocument::remove(std::u16string_view path) {
    std::u16string_view section;
    std::u16string_view key;
    if (splitPath(path, section, key)) {
        const auto found = index_.find(indexKey(trimBlanks(section), trimBlanks(key)));
        if (found == index_.end()) {
            return false;
        }
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(found->second));
        reindex();
        return true;
    }
    const std::u16string sectionKey = folded(trimBlanks(path));
    const size_t before = lines_.size();
    std::erase_if(lines_, [&](const Line& line) {
        return line.section == sectionKey && (line.kind != Kind::Other || !sectionKey.empty());
    });
    reindex();
    return lines_.size() != before;
}

std::vector<std::u16string> IniDocument::subElements(std::u16string_view section) const {
    std::vector<std::u16string> names;
    const std::u16string sectionKey = folded(trimBlanks(section));
    std::unordered_set<std::u16string> seen;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (sectionKey.empty() && line.kind == Kind::Section) {
            if (seen.insert(line.section).second) {
                names.push_back(line.name);
            }
        } else if (!sectionKey.empty() && line.kind == Kind::Entry && line.section == sectionKey) {
            if (index_.at(indexKey(line.section, line.name)) == i) {
                names.push_back(line.name);
            }
        }
    }
    return names;
}

}  // namespace holm::product::cfglib
