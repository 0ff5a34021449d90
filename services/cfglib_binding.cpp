#include "services/cfglib_binding.h"

#include <limits>

#include "common/utf16.h"
#include "platform/file_system.h"
#include "security/dependency_rule.h"
#include "security/verified_file.h"

namespace holm::services {

namespace {

// Reads are only ever given flag 0; Init is given 1.
constexpr uint8_t kReadFlag = 0;
constexpr uint8_t kInitFlag = 1;
// A text value larger than this is treated as unreadable (its default is
// used): no configuration value is that long, and the bound keeps a broken
// size answer from asking for gigabytes.
constexpr uint32_t kMaxTextUnits = 16u << 20;

}  // namespace

LibraryText::LibraryText(std::u16string_view first, std::u16string_view second, bool joined) {
    const size_t size = first.size() + (joined ? 1 + second.size() : 0);
    char16_t* out = local_.data();
    if (size >= local_.size()) {
        heap_.resize(size);
        out = heap_.data();
    }
    first.copy(out, first.size());
    if (joined) {
        out[first.size()] = u'\\';
        second.copy(out + first.size() + 1, second.size());
    }
    out[size] = u'\0';
    view_ = std::u16string_view(out, size);
}

// Never destroyed: at process end the platform's table of loaded modules
// may be gone before a static binding, and the library holds nothing that
// needs flushing (every write reaches its file when it is made).
CCfgLibBinding& CCfgLibBinding::process() {
    static CCfgLibBinding* const binding = new CCfgLibBinding();
    return *binding;
}

CCfgLibBinding::~CCfgLibBinding() {
    common::RecursiveLock guard(lock_);
    if (functions_) {
        functions_->done(&handle_);
        functions_.reset();
    }
    module_ = platform::SharedLibrary();
}

void CCfgLibBinding::setConfigurationFile(std::u16string file) {
    common::RecursiveLock guard(lock_);
    configurationFile_ = std::move(file);
}

bool CCfgLibBinding::bound() const {
    common::RecursiveLock guard(lock_);
    return functions_.has_value();
}

bool CCfgLibBinding::loadAttempted() const {
    common::RecursiveLock guard(lock_);
    return loadAttempted_;
}

bool CCfgLibBinding::ensureBound(const CfgLibSource& source) {
    if (!loadAttempted_) {
        loadAttempted_ = true;
        bind(source);
    }
    return functions_.has_value();
}

bool CCfgLibBinding::bind(const CfgLibSource& source) {
    if (source.libraryPath.empty() || !platform::pathExists(source.libraryPath)) {
        return false;
    }
    security::SelftestContext context;
    context.productDirectory = source.productDirectory;
    context.trust = source.trust;
    const security::VerifiedFile verified =
        security::selftest(source.libraryPath, security::UnsignedFiles::Refuse,
                           security::LoadedFiles::Verify, context);
    if (!verified.passed()) {
        return false;
    }
    // What it pulls in is checked as well: the product key or root's system
    // libraries only.
    security::DependencyRule rule;
    rule.trust = source.trust;
    rule.role = security::FileRole::Product;
    if (security::checkDependencies(verified, rule).refusal) {
        return false;
    }
    platform::SharedLibrary library =
        platform::SharedLibrary::openDescriptor(verified.descriptor(), source.libraryPath)
            .valueOr({});
    Functions functions{};
    if (!library || !resolve(library, functions)) {
        return false;
    }
    CfgLibHandle handle = nullptr;
    if (functions.init(&handle, configurationFile_.c_str(), kInitFlag) !=
        holm::common::cfglib::kCfgLibOk) {
        functions.done(&handle);
        return false;
    }
    module_ = std::move(library);
    functions_ = functions;
    handle_ = handle;
    return true;
}

bool CCfgLibBinding::resolve(const platform::SharedLibrary& library, Functions& functions) const {
    bool complete = true;
    auto bindSymbol = [&](auto& slot, const char* name) {
        void* address = library.symbol(name);
        complete = complete && address != nullptr;
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
    };
    bindSymbol(functions.init, "CfgLib_Dll_Init");
    bindSymbol(functions.done, "CfgLib_Dll_Done");
    bindSymbol(functions.reload, "CfgLib_Dll_Reload");
    bindSymbol(functions.changeConfigFile, "CfgLib_Dll_ChangeConfigFile");
    bindSymbol(functions.readString, "CfgLib_Dll_ReadString");
    bindSymbol(functions.readInt, "CfgLib_Dll_ReadInt");
    bindSymbol(functions.readHex, "CfgLib_Dll_ReadHex");
    bindSymbol(functions.readList, "CfgLib_Dll_ReadList");
    bindSymbol(functions.writeString, "CfgLib_Dll_WriteString");
    bindSymbol(functions.writeInt, "CfgLib_Dll_WriteInt");
    bindSymbol(functions.writeHex, "CfgLib_Dll_WriteHex");
    bindSymbol(functions.writeList, "CfgLib_Dll_WriteList");
    bindSymbol(functions.getSubElements, "CfgLib_Dll_GetSubElements");
    bindSymbol(functions.removeNode, "CfgLib_Dll_RemoveNode");
    bindSymbol(functions.createList, "CfgLib_Dll_CreateList");
    bindSymbol(functions.addListItem, "CfgLib_Dll_AddListItem");
    bindSymbol(functions.freeList, "CfgLib_Dll_FreeList");
    bindSymbol(functions.clearList, "CfgLib_Dll_ClearList");
    bindSymbol(functions.copyListContent, "CfgLib_Dll_CopyListContent");
    return complete;
}

std::optional<std::u16string> CCfgLibBinding::readString(const CfgLibSource& source,
                                                         const LibraryText& key,
                                                         const LibraryText& fallback) {
    std::u16string value;
    if (!readStringInto(source, key, fallback, value)) {
        return std::nullopt;
    }
    return value;
}

bool CCfgLibBinding::readStringInto(const CfgLibSource& source, const LibraryText& key,
                                    const LibraryText& fallback, std::u16string& out) {
    common::RecursiveLock guard(lock_);
    return readStringIntoHeld(source, key, fallback, out);
}

bool CCfgLibBinding::readStringIntoHeld(const CfgLibSource& source, const LibraryText& key,
                                        const LibraryText& fallback, std::u16string& out) {
    if (!ensureBound(source)) {
        return false;
    }
    uint32_t size = 0;
    if (functions_->readString(handle_, key.c_str(), fallback.c_str(), nullptr, &size, kReadFlag) !=
            holm::common::cfglib::kCfgLibOk ||
        size == 0 || size > kMaxTextUnits) {
        return false;
    }
    out.assign(size, u'\0');
    if (functions_->readString(handle_, key.c_str(), fallback.c_str(), out.data(), &size,
                               kReadFlag) != holm::common::cfglib::kCfgLibOk ||
        size > out.size()) {
        return false;
    }
    // The value ends at its terminator, wherever the library put it.
    out.resize(std::char_traits<char16_t>::length(out.c_str()));
    return true;
}

std::optional<int32_t> CCfgLibBinding::readInt(const CfgLibSource& source, const LibraryText& key,
                                               int32_t defaultValue) {
    common::RecursiveLock guard(lock_);
    return readIntHeld(source, key, defaultValue);
}

std::optional<int32_t> CCfgLibBinding::readIntHeld(const CfgLibSource& source,
                                                   const LibraryText& key, int32_t defaultValue) {
    int32_t value = defaultValue;
    if (!ensureBound(source) || functions_->readInt(handle_, key.c_str(), defaultValue, &value,
                                                    kReadFlag) != holm::common::cfglib::kCfgLibOk) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint32_t> CCfgLibBinding::readHex(const CfgLibSource& source, const LibraryText& key,
                                                uint32_t defaultValue) {
    common::RecursiveLock guard(lock_);
    return readHexHeld(source, key, defaultValue);
}

std::optional<uint32_t> CCfgLibBinding::readHexHeld(const CfgLibSource& source,
                                                    const LibraryText& key, uint32_t defaultValue) {
    uint32_t value = defaultValue;
    if (!ensureBound(source) || functions_->readHex(handle_, key.c_str(), defaultValue, &value,
                                                    kReadFlag) != holm::common::cfglib::kCfgLibOk) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<std::u16string>> CCfgLibBinding::readList(
    const CfgLibSource& source, std::u16string_view path, std::u16string_view defaultValue,
    std::u16string_view separator) {
    const LibraryText key(path);
    const LibraryText fallback(defaultValue);
    const LibraryText separatorText(separator);
    common::RecursiveLock guard(lock_);
    CfgLibList* list = nullptr;
    if (!ensureBound(source) ||
        functions_->readList(handle_, key.c_str(), fallback.c_str(),
                             separator.empty() ? nullptr : separatorText.c_str(), &list,
                             kReadFlag) != holm::common::cfglib::kCfgLibOk) {
        return std::nullopt;
    }
    // Released by the library on every way out, also when a copy throws.
    struct ListRelease {
        CfgLibFreeListFn freeList;
        CfgLibList*& list;
        ~ListRelease() {
            if (list != nullptr) {
                freeList(&list);
            }
        }
    } release{functions_->freeList, list};
    if (list == nullptr || list->count < 0 || (list->count > 0 && list->items == nullptr)) {
        return std::nullopt;
    }
    std::vector<std::u16string> items;
    items.reserve(static_cast<size_t>(list->count));
    for (int32_t i = 0; i < list->count; ++i) {
        items.emplace_back(list->items[i] != nullptr ? list->items[i] : u"");
    }
    return items;
}

void CCfgLibBinding::reload() {
    common::RecursiveLock guard(lock_);
    if (functions_) {
        (void)functions_->reload(handle_);  // a failed re-read keeps what was read
    }
}

}  // namespace holm::services
