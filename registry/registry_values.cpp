// Value builders and readers, error texts and SID forms of the registry
// store: the parts that need no operating-system call.
#include <algorithm>
#include <string>

#include "registry/registry.h"
#include "registry/registry_format.h"

namespace holm::registry {
namespace {

void appendUtf16(std::vector<uint8_t>& out, std::u16string_view text) {
    for (char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

std::u16string utf16Units(const std::vector<uint8_t>& data) {
    std::u16string text(data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    return text;
}

uint64_t littleEndian(const std::vector<uint8_t>& data) {
    uint64_t number = 0;
    for (size_t i = data.size(); i-- > 0;) {
        number = (number << 8) | data[i];
    }
    return number;
}

Value fixedWidth(uint32_t type, uint64_t number, size_t width) {
    Value value{type, {}};
    for (size_t i = 0; i < width; ++i) {
        value.data.push_back(static_cast<uint8_t>(number >> (8 * i)));
    }
    return value;
}

}  // namespace

Value makeString(std::u16string_view text, uint32_t type) {
    Value value{type, {}};
    appendUtf16(value.data, text);
    return value;
}

Value makeDword(uint32_t number) {
    return fixedWidth(kTypeDword, number, 4);
}

Value makeQword(uint64_t number) {
    return fixedWidth(kTypeQword, number, 8);
}

Value makeBinary(std::span<const uint8_t> bytes) {
    return Value{kTypeBinary, {bytes.begin(), bytes.end()}};
}

std::optional<Value> makeMultiString(const std::vector<std::u16string>& items) {
    Value value{kTypeMultiString, {}};
    for (const auto& item : items) {
        if (item.empty() || item.find(u'\0') != std::u16string::npos) {
            return std::nullopt;
        }
        appendUtf16(value.data, item);
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}

std::optional<std::u16string> readString(const Value& value) {
    if ((value.type != kTypeString && value.type != kTypeExpandString) ||
        value.data.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string text = utf16Units(value.data);
    text.resize(std::min(text.size(), text.find(u'\0')));
    return text;
}

std::optional<uint32_t> readDword(const Value& value) {
    if (value.type != kTypeDword || value.data.size() != 4) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(littleEndian(value.data));
}

std::optional<uint64_t> readQword(const Value& value) {
    if (value.type != kTypeQword || value.data.size() != 8) {
        return std::nullopt;
    }
    return littleEndian(value.data);
}

std::optional<std::vector<std::u16string>> readMultiString(const Value& value) {
    if (value.type != kTypeMultiString || value.data.size() % 2 != 0) {
        return std::nullopt;
    }
    // Items end at each NUL; the list ends at an empty item or the data's end.
    std::vector<std::u16string> items;
    const std::u16string text = utf16Units(value.data);
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(u'\0', start), text.size());
        if (end == start) {
            break;
        }
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

std::string describeError(uint32_t error) {
    switch (error) {
        case kErrorSuccess:
            return "success";
        case kErrorFileNotFound:
            return "the key or value does not exist";
        case kErrorAccessDenied:
            return "access denied (key has subkeys, a root, no write access, or the store's "
                   "owner or permissions are unsafe)";
        case kErrorInvalidHandle:
            return "not a registry root this store serves";
        case kErrorNotEnoughMemory:
            return "not enough memory";
        case kErrorInvalidData:
            return "the data does not fit the value type";
        case kErrorInvalidParameter:
            return "invalid name or value (key name over 255 characters, value name over 16383, "
                   "control characters, '.' or '..', empty path component, nesting over 512 "
                   "levels, or data over 1 MiB)";
        case kErrorDiskFull:
            return "the disk is full";
        case kErrorBadDb:
            return "a value or metadata file in the store is corrupt";
        case kErrorBadKey:
            return "a key directory in the store is not a sound key";
        case kErrorCantRead:
            return "the store could not be read";
        case kErrorCantWrite:
            return "the store could not be written";
        case kErrorKeyDeleted:
            return "the key has been deleted";
        case platform::WinError::kNotSupported:
            return "not supported on this system";
        default:
            return "error " + std::to_string(error);
    }
}

std::u16string sidOfUser(uint32_t uid) {
    const std::string text = "S-1-22-1-" + std::to_string(uid);
    return std::u16string(text.begin(), text.end());
}

}  // namespace holm::registry
