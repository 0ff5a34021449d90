// Windows implementation of the registry store: a thin adaptor over the
// system's registry. Names and values are checked by the same rules as on
// the other systems before they reach the system, so that a caller sees the
// same refusals everywhere; the rest (case, atomic writes, locking, deleted
// keys) is the system registry's own behaviour, which the store's contract
// was written after.
#include "registry/registry.h"

#include <windows.h>

#include <sddl.h>  // after windows.h, whose macros it uses

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "registry/registry_backend.h"
#include "registry/registry_format.h"
#include "registry/win/registry_internal.h"

namespace holm::registry {

using detail::KeyState;
using detail::narrow;
using detail::registryFailure;
using detail::StoreState;
using detail::UniqueHkey;
using detail::wide;

namespace {

// Where private stores live: one key per store directory.
constexpr wchar_t kPrivateStores[] = L"Software\\Holm\\Stores";

platform::Error failure(uint32_t code) {
    return platform::Error::windows(code);
}

std::u16string joinPath(const std::vector<std::u16string>& components) {
    std::u16string joined;
    for (const auto& component : components) {
        if (!joined.empty()) {
            joined += u'\\';
        }
        joined += component;
    }
    return joined;
}

// A key below `parent`, created when `create` (and missing).
platform::Result<UniqueHkey> openSubkey(HKEY parent, const std::wstring& path, REGSAM access,
                                        bool create, bool* created = nullptr) {
    HKEY opened = nullptr;
    LSTATUS status = ERROR_SUCCESS;
    if (create) {
        DWORD disposition = 0;
        status = ::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   access, nullptr, &opened, &disposition);
        if (status == ERROR_SUCCESS && created != nullptr) {
            *created = disposition == REG_CREATED_NEW_KEY;
        }
    } else {
        status = ::RegOpenKeyExW(parent, path.c_str(), 0, access, &opened);
    }
    if (status != ERROR_SUCCESS) {
        return registryFailure(status);
    }
    return UniqueHkey(opened);
}

// The name of a private store's key: its directory, with backslashes (which
// a key name cannot hold) written as slashes.
platform::Result<std::wstring> privateStoreName(const std::filesystem::path& directory) {
    std::u16string name = directory.u16string();
    for (char16_t& unit : name) {
        if (unit == u'\\') {
            unit = u'/';
        }
    }
    if (!format::isValidKeyName(name)) {
        return failure(kErrorInvalidParameter);
    }
    return std::wstring(kPrivateStores) + L"\\" + wide(name);
}

}  // namespace

namespace detail {

platform::Result<std::shared_ptr<const StoreState>> openStore(
    const std::filesystem::path& directory, StoreAccess access) {
    if (directory.empty()) {
        return failure(kErrorInvalidParameter);
    }
    const auto name = privateStoreName(directory);
    if (!name) {
        return name.error();
    }
    const bool create = access == StoreAccess::ReadWrite;
    const REGSAM rights = create ? KEY_ALL_ACCESS : KEY_READ;
    auto store = openSubkey(HKEY_CURRENT_USER, *name, rights, create);
    if (!store) {
        return store.error();
    }
    auto state = std::make_shared<StoreState>();
    state->directory = directory;
    for (auto [child, owned] :
         {std::pair{L"machine", &state->ownedMachine}, std::pair{L"users", &state->ownedUsers}}) {
        auto opened = openSubkey(store->get(), child, rights, create);
        if (!opened) {
            return opened.error();
        }
        *owned = std::move(*opened);
    }
    state->machine = state->ownedMachine.get();
    state->users = state->ownedUsers.get();
    return std::shared_ptr<const StoreState>(std::move(state));
}

}  // namespace detail

namespace {

// The key a root stands for and the path below it.
struct ResolvedPath {
    HKEY root = nullptr;
    std::wstring path;
};

platform::Result<ResolvedPath> resolveRoot(const StoreState& store, Root root,
                                           std::u16string_view path) {
    auto components = format::splitKeyPath(path);
    if (!components) {
        return failure(kErrorInvalidParameter);
    }
    std::vector<std::u16string> prefix;
    HKEY directory = nullptr;
    switch (root) {
        case Root::LocalMachine:
            directory = store.machine;
            break;
        case Root::Users:
            directory = store.users;
            break;
        case Root::CurrentUser:
            directory = store.system ? HKEY_CURRENT_USER : store.users;
            if (!store.system) {
                prefix = {currentUserSid()};
            }
            break;
        case Root::ClassesRoot:
            directory = store.system ? HKEY_CLASSES_ROOT : store.machine;
            if (!store.system) {
                prefix = {u"SOFTWARE", u"Classes"};
            }
            break;
        default:
            return failure(kErrorInvalidHandle);
    }
    components->insert(components->begin(), prefix.begin(), prefix.end());
    if (components->size() > kMaxKeyDepth) {
        return failure(kErrorInvalidParameter);
    }
    return ResolvedPath{directory, wide(joinPath(*components))};
}

}  // namespace

std::u16string currentUserSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return u"";
    }
    std::vector<uint8_t> buffer(256);
    DWORD needed = 0;
    bool read = ::GetTokenInformation(token, TokenUser, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), &needed) != 0;
    if (!read && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(needed);
        read = ::GetTokenInformation(token, TokenUser, buffer.data(),
                                     static_cast<DWORD>(buffer.size()), &needed) != 0;
    }
    ::CloseHandle(token);
    LPWSTR text = nullptr;
    if (!read ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        return u"";
    }
    std::u16string sid = narrow(text);
    ::LocalFree(text);
    return sid;
}

std::filesystem::path Store::defaultDirectory() {
    const wchar_t* configured = ::_wgetenv(L"HOLM_REGISTRY_DIR");
    return (configured && *configured) ? std::filesystem::path(configured)
                                       : std::filesystem::path();
}

platform::Result<Store> Store::openDefault(StoreAccess access) {
    const std::filesystem::path directory = defaultDirectory();
    if (!directory.empty()) {
        return open(directory, access);
    }
    auto state = std::make_shared<StoreState>();
    state->machine = HKEY_LOCAL_MACHINE;
    state->users = HKEY_USERS;
    state->system = true;
    Store store;
    store.state_ = std::move(state);
    return store;
}

namespace detail {

platform::Result<std::shared_ptr<const KeyState>> openKey(const Store& store, Root root,
                                                          std::u16string_view path, uint32_t access,
                                                          bool create, bool* created) {
    const auto resolved = resolveRoot(*store.state(), root, path);
    if (!resolved) {
        return resolved.error();
    }
    // The handle gets what the key's `access` needs of the system: reading
    // always, writing with the right to set values (which the store checks
    // itself as on every system), the view flags as given.
    REGSAM rights = KEY_READ | (access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY));
    if ((access & kKeySetValue) != 0) {
        rights |= KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
    }
    auto opened = openSubkey(resolved->root, resolved->path, rights, create, created);
    if (!opened) {
        return opened.error();
    }
    return std::make_shared<const KeyState>(KeyState{store, std::move(*opened)});
}

platform::Result<Value> readValue(const KeyState& key, std::u16string_view name) {
    const std::wstring valueName = wide(name);
    Value value;
    DWORD size = 0;
    DWORD type = 0;
    LSTATUS status =
        ::RegQueryValueExW(key.key.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    // A value rewritten between the two calls may have grown: ask again.
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        value.data.resize(size);
        status = ::RegQueryValueExW(key.key.get(), valueName.c_str(), nullptr, &type,
                                    value.data.data(), &size);
        if (status == ERROR_SUCCESS) {
            value.data.resize(size);
            value.type = type;
            return value;
        }
    }
    return registryFailure(status);
}

platform::Status writeValue(const KeyState& key, std::u16string_view name, const Value& value) {
    const LSTATUS status =
        ::RegSetValueExW(key.key.get(), wide(name).c_str(), 0, value.type, value.data.data(),
                         static_cast<DWORD>(value.data.size()));
    if (status != ERROR_SUCCESS) {
        return registryFailure(status);
    }
    return {};
}

platform::Status removeValue(const KeyState& key, std::u16string_view name) {
    const LSTATUS status = ::RegDeleteValueW(key.key.get(), wide(name).c_str());
    if (status != ERROR_SUCCESS) {
        return registryFailure(status);
    }
    return {};
}

// Names listed by RegEnumKeyExW or RegEnumValueW into a buffer sized from
// RegQueryInfoKeyW (a longer name added meanwhile gets a larger buffer).
template <typename Enumerate>
platform::Result<std::vector<std::u16string>> enumerateNames(HKEY key, bool values,
                                                             Enumerate enumerate) {
    DWORD longestKey = 0;
    DWORD longestValue = 0;
    LSTATUS status = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &longestKey,
                                        nullptr, nullptr, &longestValue, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        return registryFailure(status);
    }
    std::wstring buffer((values ? longestValue : longestKey) + 1, L'\0');
    std::vector<std::u16string> names;
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        status = enumerate(key, index, buffer.data(), &length);
        if (status == ERROR_NO_MORE_ITEMS) {
            return names;
        }
        if (status == ERROR_MORE_DATA) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != ERROR_SUCCESS) {
            return registryFailure(status);
        }
        names.push_back(narrow(std::wstring_view(buffer.data(), length)));
        ++index;
    }
}

platform::Result<std::vector<std::u16string>> subkeyNames(const KeyState& key) {
    return enumerateNames(
        key.key.get(), false, [](HKEY handle, DWORD index, wchar_t* name, DWORD* length) {
            return ::RegEnumKeyExW(handle, index, name, length, nullptr, nullptr, nullptr, nullptr);
        });
}

platform::Result<std::vector<std::u16string>> valueNames(const KeyState& key) {
    return enumerateNames(
        key.key.get(), true, [](HKEY handle, DWORD index, wchar_t* name, DWORD* length) {
            return ::RegEnumValueW(handle, index, name, length, nullptr, nullptr, nullptr, nullptr);
        });
}

platform::Status removeKey(const Store& store, Root root, std::u16string_view path,
                           bool recursive) {
    const auto resolved = resolveRoot(*store.state(), root, path);
    if (!resolved) {
        return resolved.error();
    }
    if (path.empty() || path == u"\\") {
        return failure(kErrorAccessDenied);  // a root is never deleted
    }
    const LSTATUS status = recursive ? ::RegDeleteTreeW(resolved->root, resolved->path.c_str())
                                     : ::RegDeleteKeyW(resolved->root, resolved->path.c_str());
    if (status != ERROR_SUCCESS) {
        return registryFailure(status);
    }
    return {};
}

}  // namespace detail

}  // namespace holm::registry
