// The store's key operations as every backend shares them: the handle, the
// right to set values and the names and values are checked here, the same
// way on every system, before the backend is asked.
#include <utility>

#include "registry/registry.h"
#include "registry/registry_backend.h"
#include "registry/registry_format.h"

namespace holm::registry {
namespace {

platform::Error refusal(uint32_t code) {
    return platform::Error::windows(code);
}

}  // namespace

platform::Result<Store> Store::open(const std::filesystem::path& directory, StoreAccess access) {
    auto state = detail::openStore(directory, access);
    if (!state) {
        return state.error();
    }
    Store store;
    store.state_ = std::move(*state);
    return store;
}

platform::Result<Key> Key::open(const Store& store, Root root, std::u16string_view path,
                                uint32_t access) {
    return openOrCreate(store, root, path, access, false, nullptr);
}

platform::Result<Key> Key::create(const Store& store, Root root, std::u16string_view path,
                                  uint32_t access, bool* created) {
    return openOrCreate(store, root, path, access, true, created);
}

platform::Result<Key> Key::openOrCreate(const Store& store, Root root, std::u16string_view path,
                                        uint32_t access, bool create, bool* created) {
    if (!store.valid()) {
        return refusal(kErrorInvalidHandle);
    }
    auto opened = detail::openKey(store, root, path, access, create, created);
    if (!opened) {
        return opened.error();
    }
    Key key;
    key.state_ = std::move(*opened);
    key.access_ = access;
    return key;
}

platform::Result<Value> Key::queryValue(std::u16string_view name) const {
    if (!valid()) {
        return refusal(kErrorInvalidHandle);
    }
    if (!format::isValidValueName(name)) {
        return refusal(kErrorInvalidParameter);
    }
    return detail::readValue(*state_, name);
}

platform::Status Key::setValue(std::u16string_view name, const Value& value) const {
    if (!valid()) {
        return refusal(kErrorInvalidHandle);
    }
    if ((access_ & kKeySetValue) == 0) {
        return refusal(kErrorAccessDenied);
    }
    if (!format::isValidValueName(name) || !format::isValidValue(value)) {
        return refusal(kErrorInvalidParameter);
    }
    return detail::writeValue(*state_, name, value);
}

platform::Status Key::deleteValue(std::u16string_view name) const {
    if (!valid()) {
        return refusal(kErrorInvalidHandle);
    }
    if ((access_ & kKeySetValue) == 0) {
        return refusal(kErrorAccessDenied);
    }
    if (!format::isValidValueName(name)) {
        return refusal(kErrorInvalidParameter);
    }
    return detail::removeValue(*state_, name);
}

platform::Result<std::vector<std::u16string>> Key::enumerateSubkeys() const {
    if (!valid()) {
        return refusal(kErrorInvalidHandle);
    }
    auto names = detail::subkeyNames(*state_);
    if (names) {
        format::sortByFoldedName(*names);
    }
    return names;
}

platform::Result<std::vector<std::u16string>> Key::enumerateValues() const {
    if (!valid()) {
        return refusal(kErrorInvalidHandle);
    }
    auto names = detail::valueNames(*state_);
    if (names) {
        format::sortByFoldedName(*names);
    }
    return names;
}

platform::Status deleteKey(const Store& store, Root root, std::u16string_view path) {
    if (!store.valid()) {
        return refusal(kErrorInvalidHandle);
    }
    return detail::removeKey(store, root, path, false);
}

platform::Status deleteKeyTree(const Store& store, Root root, std::u16string_view path) {
    if (!store.valid()) {
        return refusal(kErrorInvalidHandle);
    }
    return detail::removeKey(store, root, path, true);
}

}  // namespace holm::registry
