// What each backend of the registry store provides (registry/posix/,
// registry/win/). registry_key.cpp checks handles, rights, names and values
// the same way on every system and then calls these; they may assume the
// checks passed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "registry/registry.h"

namespace holm::registry::detail {

// Opens the store at `directory` as Store::open describes.
platform::Result<std::shared_ptr<const StoreState>> openStore(
    const std::filesystem::path& directory, StoreAccess access);
// Opens (or, with `create`, creates) a key; `created` as for Key::create.
platform::Result<std::shared_ptr<const KeyState>> openKey(const Store& store, Root root,
                                                          std::u16string_view path, uint32_t access,
                                                          bool create, bool* created);
platform::Result<Value> readValue(const KeyState& key, std::u16string_view name);
platform::Status writeValue(const KeyState& key, std::u16string_view name, const Value& value);
platform::Status removeValue(const KeyState& key, std::u16string_view name);
// The names in any order.
platform::Result<std::vector<std::u16string>> subkeyNames(const KeyState& key);
platform::Result<std::vector<std::u16string>> valueNames(const KeyState& key);
// Deletes a key (with `recursive`, everything below it too); `store` is valid.
platform::Status removeKey(const Store& store, Root root, std::u16string_view path, bool recursive);

}  // namespace holm::registry::detail
