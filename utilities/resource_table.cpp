#include "utilities/resource_table.h"

#include <charconv>
#include <optional>

#include "common/utf16.h"

namespace Tandro::Utilities {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

[[noreturn]] void fail(size_t lineNumber, const std::string& reason) {
    throw ResourceTableError("line " + std::to_string(lineNumber) + ": " + reason);
}

std::string unescape(std::string_view text, size_t lineNumber) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            fail(lineNumber, "backslash at the end of the line");
        }
        switch (text[i]) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                fail(lineNumber, std::string("unknown escape \\") + text[i]);
        }
    }
    return out;
}

void parseLine(std::string_view line, size_t lineNumber,
               std::map<uint32_t, std::u16string>& texts) {
    size_t start = 0;
    while (start < line.size() && isBlank(line[start])) {
        ++start;
    }
    if (start == line.size() || line[start] == '#') {
        return;
    }
    uint32_t id = 0;
    const char* first = line.data() + start;
    const char* last = line.data() + line.size();
    auto [idEnd, error] = std::from_chars(first, last, id);
    if (error != std::errc() || (idEnd != last && !isBlank(*idEnd))) {
        fail(lineNumber, "expected a decimal id (0 to 4294967295) followed by a tab or blank");
    }
    while (idEnd != last && isBlank(*idEnd)) {
        ++idEnd;
    }
    auto text = holm::common::utf8ToUtf16Strict(
        unescape(std::string_view(idEnd, last - idEnd), lineNumber));
    if (!text) {
        fail(lineNumber, "text is not valid UTF-8");
    }
    if (!texts.emplace(id, std::move(*text)).second) {
        fail(lineNumber, "id " + std::to_string(id) + " appears twice");
    }
}

}  // namespace

std::map<uint32_t, std::u16string> parseResourceTable(std::string_view source) {
    std::map<uint32_t, std::u16string> texts;
    size_t lineNumber = 0;
    while (!source.empty()) {
        ++lineNumber;
        const size_t end = source.find('\n');
        std::string_view line = source.substr(0, end);
        source.remove_prefix(end == std::string_view::npos ? source.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        parseLine(line, lineNumber, texts);
    }
    return texts;
}

std::string escapeResourceText(std::u16string_view text) {
    std::string out;
    for (char c : holm::common::utf16ToUtf8(text)) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace Tandro::Utilities
