// What the registry store's Windows parts share: an opened store is a pair
// of registry keys that stand for the machine and users roots, an opened key
// a registry key handle.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"
#include "registry/registry.h"

namespace holm::registry::detail {

// Registry key handles. The predefined roots (HKEY_LOCAL_MACHINE, ...) are
// never owned: only keys the store opened itself are held by one.
struct HkeyTraits {
    using Handle = HKEY;
    static HKEY invalid() noexcept { return nullptr; }
    static void close(HKEY key) noexcept { ::RegCloseKey(key); }
};
using UniqueHkey = platform::UniqueHandle<HkeyTraits>;

struct StoreState {
    std::filesystem::path directory;  // empty for the system's registry
    // A private store (a directory was given) keeps its roots below a key
    // of the current user; the system's store uses the predefined roots.
    UniqueHkey ownedMachine;
    UniqueHkey ownedUsers;
    HKEY machine = nullptr;  // LocalMachine
    HKEY users = nullptr;    // Users
    bool system = false;
};

struct KeyState {
    Store store;
    UniqueHkey key;
};

// A store's failure: the number the system's registry call returned.
inline platform::Error registryFailure(LSTATUS status) {
    return platform::Error::windows(static_cast<uint32_t>(status));
}

// Text at the Win32 calls: UTF-16 both ways, unit for unit.
inline std::wstring wide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}
inline std::u16string narrow(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace holm::registry::detail
