#include "containers/ini_block.h"

#include <algorithm>
#include <iterator>

#include "common/utf16.h"
#include "containers/string_list.h"
#include "containers/text_file.h"
#include "platform/errors.h"

namespace holm::containers {

bool FoldedAsciiLess::operator()(std::u16string_view a, std::u16string_view b) const {
    return text::compareNoCase(a, b) < 0;
}

}  // namespace holm::containers

namespace {

namespace WinError = holm::platform::WinError;

// A string list that hands every line the text file reads straight to the
// block store, so a large file is never held twice.
class LineSink : public HlmPlg::IStringList {
  public:
    explicit LineSink(CIniFileWithBlockMode& store) : store_(store) {}
    void add(const char16_t* text) override {
        store_.addLine(text != nullptr ? std::u16string_view(text) : std::u16string_view());
        ++count_;
    }
    int32_t getCount() override { return count_; }
    void clear() override { count_ = 0; }
    Iterator* createIterator() override { return nullptr; }
    void releaseIterator(Iterator*) override {}
    void deserialize(const void*, int32_t) override {}
    void serialize(void**, uint32_t*) override {}

  private:
    CIniFileWithBlockMode& store_;
    int32_t count_ = 0;
};

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

}  // namespace

bool CIniFileWithBlockMode::load(const char16_t* path) {
    startLines();
    path_ = path != nullptr ? path : u"";
    CTxtFileImpl file;
    if (!file.open(path_.c_str(), false)) {
        // A missing file is a new one; any other failure leaves a file that
        // writeFile must not overwrite with what was not read.
        unreadable_ = file.getLastError() != WinError::kFileNotFound &&
                      file.getLastError() != WinError::kPathNotFound;
        finishLines();
        return true;
    }
    LineSink sink(*this);
    if (!file.readLines(&sink) && file.getLastError() != WinError::kHandleEof) {
        unreadable_ = true;
    }
    file.close();
    finishLines();
    return true;
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
        if (!holm::text::equalsNoCase(record.name, section)) {
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
        return holm::text::equalsNoCase(record.name, section);
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
        }
        return true;
    }
    if (first == sections_.end()) {
        sections_.push_back({section, {}});
        first = std::prev(sections_.end());
    }
    first->entries.insert_or_assign(std::u16string(keyText), std::u16string(value));
    return true;
}

bool CIniFileWithBlockMode::writeFile() {
    if (path_.empty() || unreadable_) {
        return false;
    }
    CStringListImpl lines;
    for (const auto& line : outputLines()) {
        lines.add(line.c_str());
    }
    CTxtFileImpl file;
    const bool written = file.replaceLines(path_.c_str(), true, &lines);
    file.close();
    return written;
}

void CIniFileWithBlockMode::startLines() {
    sections_.clear();
    leadingLines_.clear();
    headerSeen_ = false;
    current_ = {};
    unreadable_ = false;
}

void CIniFileWithBlockMode::addLine(std::u16string_view line) {
    const std::u16string_view trimmed = trimSpaces(line);
    if (trimmed.starts_with(u'#')) {
        if (!headerSeen_) {
            leadingLines_.emplace_back(line);
        }
        return;
    }
    if (isHeader(trimmed)) {
        headerSeen_ = true;
        keepCurrentSection();
        current_.name = headerName(trimmed);
        return;
    }
    if (!headerSeen_) {
        leadingLines_.emplace_back(line);
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
