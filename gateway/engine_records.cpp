#include "gateway/engine_records.h"

#include <cstring>

#include "common/utf16.h"

namespace holm::gateway {
namespace {

constexpr int kMaxExtensionLength = 19;
constexpr size_t kKeptCharacters = 18;

uint32_t read32(const HlmPlg::EngineVersionSource& source, size_t offset) {
    return static_cast<uint32_t>(source.bytes[offset]) |
           static_cast<uint32_t>(source.bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(source.bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(source.bytes[offset + 3]) << 24;
}

uint16_t read16(const HlmPlg::EngineVersionSource& source, size_t offset) {
    return static_cast<uint16_t>(source.bytes[offset] | source.bytes[offset + 1] << 8);
}

HlmPlg::EngineVersion commonValues(const HlmPlg::EngineVersionSource& source) {
    HlmPlg::EngineVersion version{};
    for (size_t i = 0; i < 4; ++i) {
        version.values[i] = read32(source, 4 + 4 * i);
    }
    return version;
}

std::u16string extensionText(const uint8_t* characters, size_t length) {
    std::u16string text = u".";
    text += holm::common::utf8ToUtf16(
        std::string_view(reinterpret_cast<const char*>(characters), length));
    for (char16_t& unit : text) {
        if (unit >= u'a' && unit <= u'z') {
            unit = static_cast<char16_t>(unit - u'a' + u'A');
        }
    }
    return text;
}

std::u16string_view textOf(const char16_t (&text)[HlmPlg::AvhioStatistics::kTextLength]) {
    size_t length = 0;
    while (length < HlmPlg::AvhioStatistics::kTextLength && text[length] != 0) {
        ++length;
    }
    return {text, length};
}

}  // namespace

std::vector<std::u16string> extensionsOf(const HlmPlg::ExtensionList& list) {
    std::vector<std::u16string> extensions;
    if (list.data == nullptr) {
        return extensions;
    }
    const size_t total = list.totalLength;
    size_t offset = 0;
    for (uint32_t entry = 0; entry < list.count && offset < total; ++entry) {
        const auto length = static_cast<int8_t>(list.data[offset]);
        ++offset;
        if (length < 0) {
            break;  // malformed: nothing after it can be trusted
        }
        const size_t end = offset + static_cast<size_t>(length);
        if (end > total) {
            break;
        }
        if (length >= 1 && length <= kMaxExtensionLength) {
            extensions.push_back(
                extensionText(list.data + offset, std::min<size_t>(length, kKeptCharacters)));
        }
        offset = end;
    }
    return extensions;
}

HlmPlg::EngineVersion versionA(const HlmPlg::EngineVersionSource& source) {
    HlmPlg::EngineVersion version = commonValues(source);
    for (size_t i = 0; i < 3; ++i) {
        version.parts[i] = static_cast<uint16_t>(read32(source, 20 + 4 * i));
    }
    return version;
}

HlmPlg::EngineVersion versionB(const HlmPlg::EngineVersionSource& source) {
    HlmPlg::EngineVersion version = commonValues(source);
    version.parts[0] = read16(source, 52);
    for (size_t i = 0; i < 5; ++i) {
        version.parts[1 + i] = source.bytes[54 + i];
    }
    return version;
}

void writeStatistics(const HlmPlg::AvhioStatistics& statistics, HlmPlg::IKeyValueList& list) {
    using Counter = HlmPlg::AvhioStatistics::Counter;
    const auto& counters = statistics.counters;
    list.setInt(u"file", counters[Counter::Files]);
    list.setInt(u"deleted", counters[Counter::Deleted]);
    list.setInt(u"repaired", counters[Counter::Repaired]);
    list.setInt(u"moved", counters[Counter::Moved]);
    list.setInt(u"renamed", counters[Counter::Renamed]);
    list.setInt(u"virus", counters[Counter::Viruses]);
    list.setInt(u"suspicious", counters[Counter::Suspicious]);
    list.setString(u"lastfile", std::u16string(textOf(statistics.lastFile)).c_str());
    list.setString(u"lastvirus", std::u16string(textOf(statistics.lastVirus)).c_str());
    list.setString(u"lastinfectedfile",
                   std::u16string(textOf(statistics.lastInfectedFile)).c_str());
}

HlmPlg::AvhioStatistics readStatistics(HlmPlg::IKeyValueList& list) {
    using Counter = HlmPlg::AvhioStatistics::Counter;
    HlmPlg::AvhioStatistics statistics{};
    statistics.counters[Counter::Deleted] = list.getInt(u"deleted");
    statistics.counters[Counter::Repaired] = list.getInt(u"repaired");
    statistics.counters[Counter::Moved] = list.getInt(u"moved");
    statistics.counters[Counter::Renamed] = list.getInt(u"renamed");
    return statistics;
}

}  // namespace holm::gateway
