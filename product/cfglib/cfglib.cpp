// The configuration library: the CfgLib_Dll_* entry points over one
// configuration file in INI form (see ini_document.h and
// docs/configuration.md). A handle is one open configuration; every entry
// point is safe to call from any thread.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "common/cfglib_abi.h"
#include "common/format.h"
#include "common/utf16.h"
#include "product/cfglib/config_file.h"
#include "product/cfglib/ini_document.h"

#define CFGLIB_EXPORT extern "C" __attribute__((visibility("default")))

namespace holm::product::cfglib {

// The result codes of the binary interface the library implements.
using namespace ::holm::common::cfglib;
namespace {

constexpr uint32_t kHandleMagic = 0x47464348;  // marks a live handle
constexpr size_t kMaxListItems = std::numeric_limits<int32_t>::max();

struct Configuration {
    uint32_t magic = kHandleMagic;
    std::mutex lock;
    std::string path;
    IniDocument document;
};

Configuration* configurationOf(CfgLibHandle handle) {
    auto* configuration = static_cast<Configuration*>(handle);
    if (configuration == nullptr || configuration->magic != kHandleMagic) {
        return nullptr;
    }
    return configuration;
}

// Reads the file into `configuration`; a missing file is an empty
// configuration, any other failure keeps what was read before.
int32_t load(Configuration& configuration) {
    FileContent content = readConfigurationFile(configuration.path);
    if (content.error != kCfgLibOk) {
        return content.error;
    }
    configuration.document = IniDocument::parse(content.bytes);
    return kCfgLibOk;
}

// Applies `change` to a copy of the document, writes the copy, and keeps it
// only when the file was replaced.
template <typename Change>
int32_t writeChange(CfgLibHandle handle, const char16_t* path, Change change) {
    Configuration* configuration = configurationOf(handle);
    if (configuration == nullptr || path == nullptr) {
        return kCfgLibInvalidParameter;
    }
    std::lock_guard guard(configuration->lock);
    // The change goes into the file as it is now, read under the writers'
    // lock: an updater run since the last load is not undone.
    auto fileLock = ConfigurationLock::acquire(configuration->path);
    if (!fileLock) {
        return static_cast<int32_t>(fileLock.error().windowsError());
    }
    if (const int32_t loaded = load(*configuration); loaded != kCfgLibOk) {
        return loaded;
    }
    IniDocument changed = configuration->document;
    const int32_t result = change(changed);
    if (result != kCfgLibOk) {
        return result;
    }
    const int32_t written = replaceConfigurationFile(configuration->path, changed.serialize());
    if (written == kCfgLibOk) {
        configuration->document = std::move(changed);
    }
    return written;
}

int32_t writeValue(CfgLibHandle handle, const char16_t* path, std::u16string value) {
    return writeChange(handle, path, [&](IniDocument& document) {
        return document.set(path, value) ? kCfgLibOk : kCfgLibInvalidParameter;
    });
}

char16_t* copyText(std::u16string_view text) {
    auto* copy = new char16_t[text.size() + 1];
    std::copy(text.begin(), text.end(), copy);
    copy[text.size()] = u'\0';
    return copy;
}

void clearList(CfgLibList& list) {
    for (int32_t i = 0; i < list.count; ++i) {
        delete[] list.items[i];
    }
    delete[] list.items;
    list.items = nullptr;
    list.count = 0;
}

CfgLibList* makeList(const std::vector<std::u16string>& items) {
    if (items.size() > kMaxListItems) {
        throw std::bad_alloc();
    }
    auto list = std::make_unique<CfgLibList>();
    list->count = 0;
    list->items = new char16_t*[items.size()];
    try {
        for (const auto& item : items) {
            list->items[list->count] = copyText(item);
            ++list->count;
        }
    } catch (...) {
        clearList(*list);
        throw;
    }
    return list.release();
}

std::vector<std::u16string> splitStored(std::u16string_view value, std::u16string_view separator) {
    std::vector<std::u16string> items;
    if (value.empty()) {
        return items;
    }
    size_t start = 0;
    while (true) {
        const size_t at = value.find(separator, start);
        if (at == std::u16string_view::npos) {
            items.emplace_back(value.substr(start));
            break;
        }
        items.emplace_back(value.substr(start, at - start));
        start = at + separator.size();
        if (start == value.size()) {
            break;  // a trailing separator ends the list
        }
    }
    return items;
}

std::u16string_view separatorOr(const char16_t* separator) {
    return separator != nullptr && separator[0] != u'\0' ? std::u16string_view(separator)
                                                         : std::u16string_view(u",");
}

// A stored number: optional blanks, an optional sign, digits of `base`
// (hexadecimal may start with "0x"); anything else is not a number.
template <typename T>
bool parseNumber(std::u16string_view text, int base, T& value) {
    text = common::trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == u'-' || text.front() == u'+')) {
        negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    if (base == 16 && text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t magnitude = 0;
    for (char16_t c : text) {
        int digit = -1;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (base == 16 && c >= u'a' && c <= u'f') {
            digit = c - u'a' + 10;
        } else if (base == 16 && c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        }
        if (digit < 0) {
            return false;
        }
        magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (magnitude > 0xFFFFFFFFull) {
            return false;
        }
    }
    // Decimal values wrap into 32 bits as their 32-bit pattern ("4294967295"
    // reads as -1), so that any value written as unsigned reads back.
    const uint32_t bits = static_cast<uint32_t>(magnitude);
    value = static_cast<T>(negative ? 0u - bits : bits);
    return true;
}

template <typename T>
int32_t readNumber(CfgLibHandle handle, const char16_t* path, T defaultValue, T* value, int base) {
    Configuration* configuration = configurationOf(handle);
    if (configuration == nullptr || path == nullptr || value == nullptr) {
        return kCfgLibInvalidParameter;
    }
    std::lock_guard guard(configuration->lock);
    const auto stored = configuration->document.find(path);
    if (!stored || !parseNumber(*stored, base, *value)) {
        *value = defaultValue;
    }
    return kCfgLibOk;
}

template <typename Body>
int32_t guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kCfgLibOutOfMemory;
    } catch (...) {
        return kCfgLibInvalidData;
    }
}

}  // namespace
}  // namespace holm::product::cfglib

using namespace holm::product::cfglib;

CFGLIB_EXPORT int32_t CfgLib_Dll_Init(CfgLibHandle* handle, const char16_t* configurationFile,
                                      uint8_t /*flag*/) {
    return guarded([&] {
        if (handle == nullptr || configurationFile == nullptr || configurationFile[0] == u'\0') {
            return kCfgLibInvalidParameter;
        }
        *handle = nullptr;
        auto configuration = std::make_unique<Configuration>();
        configuration->path = holm::common::utf16ToUtf8(configurationFile);
        // An unreadable file starts an empty configuration: a later reload
        // reads it once it is readable.
        (void)load(*configuration);
        *handle = configuration.release();
        return kCfgLibOk;
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_Done(CfgLibHandle* handle) {
    if (handle == nullptr || configurationOf(*handle) == nullptr) {
        return kCfgLibInvalidParameter;
    }
    auto* configuration = configurationOf(*handle);
    configuration->magic = 0;
    delete configuration;
    *handle = nullptr;
    return kCfgLibOk;
}

CFGLIB_EXPORT int32_t CfgLib_Dll_Reload(CfgLibHandle handle) {
    return guarded([&] {
        Configuration* configuration = configurationOf(handle);
        if (configuration == nullptr) {
            return kCfgLibInvalidParameter;
        }
        std::lock_guard guard(configuration->lock);
        return load(*configuration);
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_ChangeConfigFile(CfgLibHandle handle,
                                                  const char16_t* configurationFile,
                                                  uint8_t /*flag*/) {
    return guarded([&] {
        Configuration* configuration = configurationOf(handle);
        if (configuration == nullptr || configurationFile == nullptr ||
            configurationFile[0] == u'\0') {
            return kCfgLibInvalidParameter;
        }
        std::lock_guard guard(configuration->lock);
        configuration->path = holm::common::utf16ToUtf8(configurationFile);
        configuration->document = IniDocument();
        return load(*configuration);
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_ReadString(CfgLibHandle handle, const char16_t* path,
                                            const char16_t* defaultValue, char16_t* buffer,
                                            uint32_t* size, uint8_t /*flag*/) {
    Configuration* configuration = configurationOf(handle);
    if (configuration == nullptr || path == nullptr || size == nullptr) {
        return kCfgLibInvalidParameter;
    }
    return guarded([&] {
        std::lock_guard guard(configuration->lock);
        const auto stored = configuration->document.find(path);
        const std::u16string_view value =
            stored ? *stored : std::u16string_view(defaultValue ? defaultValue : u"");
        if (value.size() >= std::numeric_limits<uint32_t>::max()) {
            return kCfgLibInvalidData;
        }
        const auto needed = static_cast<uint32_t>(value.size() + 1);
        if (buffer == nullptr || *size < needed) {
            const bool query = buffer == nullptr;
            *size = needed;
            return query ? kCfgLibOk : kCfgLibMoreData;
        }
        std::copy(value.begin(), value.end(), buffer);
        buffer[value.size()] = u'\0';
        *size = needed;
        return kCfgLibOk;
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_ReadInt(CfgLibHandle handle, const char16_t* path,
                                         int32_t defaultValue, int32_t* value, uint8_t /*flag*/) {
    return guarded([&] { return readNumber(handle, path, defaultValue, value, 10); });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_ReadHex(CfgLibHandle handle, const char16_t* path,
                                         uint32_t defaultValue, uint32_t* value, uint8_t /*flag*/) {
    return guarded([&] { return readNumber(handle, path, defaultValue, value, 16); });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_ReadList(CfgLibHandle handle, const char16_t* path,
                                          const char16_t* /*defaultValue*/,
                                          const char16_t* separator, CfgLibList** list,
                                          uint8_t /*flag*/) {
    Configuration* configuration = configurationOf(handle);
    if (configuration == nullptr || path == nullptr || list == nullptr) {
        return kCfgLibInvalidParameter;
    }
    *list = nullptr;
    return guarded([&] {
        std::lock_guard guard(configuration->lock);
        const auto stored = configuration->document.find(path);
        if (!stored) {
            return kCfgLibNotFound;
        }
        *list = makeList(splitStored(*stored, separatorOr(separator)));
        return kCfgLibOk;
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_WriteString(CfgLibHandle handle, const char16_t* path,
                                             const char16_t* value, uint8_t /*flag*/) {
    if (value == nullptr) {
        return kCfgLibInvalidParameter;
    }
    return guarded([&] { return writeValue(handle, path, value); });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_WriteInt(CfgLibHandle handle, const char16_t* path, int32_t value,
                                          uint8_t /*flag*/) {
    return guarded([&] { return writeValue(handle, path, holm::common::format(u"%d", value)); });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_WriteHex(CfgLibHandle handle, const char16_t* path, uint32_t value,
                                          uint8_t /*flag*/) {
    return guarded([&] { return writeValue(handle, path, holm::common::format(u"%08x", value)); });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_WriteList(CfgLibHandle handle, const char16_t* path,
                                           const CfgLibList* list, const char16_t* separator,
                                           uint8_t /*flag*/) {
    if (list == nullptr || list->count < 0 || (list->count > 0 && list->items == nullptr)) {
        return kCfgLibInvalidParameter;
    }
    return guarded([&] {
        std::u16string joined;
        for (int32_t i = 0; i < list->count; ++i) {
            if (i > 0) {
                joined += separatorOr(separator);
            }
            joined += list->items[i] != nullptr ? list->items[i] : u"";
        }
        return writeValue(handle, path, std::move(joined));
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_GetSubElements(CfgLibHandle handle, const char16_t* path,
                                                CfgLibList** list, uint8_t /*flag*/) {
    Configuration* configuration = configurationOf(handle);
    if (configuration == nullptr || path == nullptr || list == nullptr) {
        return kCfgLibInvalidParameter;
    }
    *list = nullptr;
    return guarded([&] {
        std::lock_guard guard(configuration->lock);
        *list = makeList(configuration->document.subElements(path));
        return kCfgLibOk;
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_RemoveNode(CfgLibHandle handle, const char16_t* path,
                                            uint8_t /*flag*/) {
    return guarded([&] {
        return writeChange(handle, path, [&](IniDocument& document) {
            return document.remove(path) ? kCfgLibOk : kCfgLibNotFound;
        });
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_CreateList(CfgLibList** list) {
    if (list == nullptr) {
        return kCfgLibInvalidParameter;
    }
    return guarded([&] {
        *list = makeList({});
        return kCfgLibOk;
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_AddListItem(CfgLibList* list, const char16_t* item) {
    if (list == nullptr || item == nullptr || list->count < 0) {
        return kCfgLibInvalidParameter;
    }
    return guarded([&] {
        if (static_cast<size_t>(list->count) >= kMaxListItems) {
            return kCfgLibOutOfMemory;
        }
        std::unique_ptr<char16_t[]> copy(copyText(item));
        auto** items = new char16_t*[static_cast<size_t>(list->count) + 1];
        std::copy(list->items, list->items + list->count, items);
        items[list->count] = copy.release();
        delete[] list->items;
        list->items = items;
        ++list->count;
        return kCfgLibOk;
    });
}

CFGLIB_EXPORT int32_t CfgLib_Dll_FreeList(CfgLibList** list) {
    if (list == nullptr) {
        return kCfgLibInvalidParameter;
    }
    if (*list != nullptr) {
        clearList(**list);
        delete *list;
        *list = nullptr;
    }
    return kCfgLibOk;
}

CFGLIB_EXPORT int32_t CfgLib_Dll_ClearList(CfgLibList* list) {
    if (list == nullptr) {
        return kCfgLibInvalidParameter;
    }
    clearList(*list);
    return kCfgLibOk;
}

CFGLIB_EXPORT int32_t CfgLib_Dll_CopyListContent(CfgLibList* target, const CfgLibList* source) {
    if (target == nullptr || source == nullptr || source->count < 0) {
        return kCfgLibInvalidParameter;
    }
    return guarded([&] {
        std::vector<std::u16string> items;
        for (int32_t i = 0; i < source->count; ++i) {
            items.emplace_back(source->items[i] != nullptr ? source->items[i] : u"");
        }
        std::unique_ptr<CfgLibList> copy(makeList(items));
        clearList(*target);
        *target = *copy;
        return kCfgLibOk;
    });
}
