// The registry store: a persistent hierarchical store of keys and typed
// values with the behaviour the core relies on from the Windows registry.
//
// On POSIX systems: one directory per key, one file per value, below the
// store root (`HOLM_REGISTRY_DIR`, default `/var/lib/holm/registry`). Names compare
// without regard to case (A-Z folded) and keep the spelling they were created
// with. Every write is atomic; a per-key lock serialises writers of one key,
// also across processes. On Windows the store is a thin adaptor over the
// system's registry with the same interface.
//
// Operations return Result/Status. The error's Windows number is the one
// the system's registry calls give for the same failure (one of the
// kError* numbers below); only the code that hands a result to a plugin or
// to a tool's user turns it into that number.
//
// Thread safety: a `Store` and a `Key` may be used from several threads at
// once; every operation is self-contained.
#pragma once

#include <cstddef>
#include <cstdint>

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>
#include "platform/errors.h"
#include "platform/result.h"

namespace holm::registry {

// The Windows numbers of the store's errors (`Error::windowsError()`), as
// the Windows registry calls report the same failures.
inline constexpr uint32_t kErrorSuccess = platform::WinError::kSuccess;
inline constexpr uint32_t kErrorFileNotFound = platform::WinError::kFileNotFound;
inline constexpr uint32_t kErrorAccessDenied = platform::WinError::kAccessDenied;
inline constexpr uint32_t kErrorInvalidHandle = platform::WinError::kInvalidHandle;
inline constexpr uint32_t kErrorNotEnoughMemory = platform::WinError::kNotEnoughMemory;
inline constexpr uint32_t kErrorInvalidData = platform::WinError::kInvalidData;
inline constexpr uint32_t kErrorDiskFull = platform::WinError::kDiskFull;
inline constexpr uint32_t kErrorInvalidParameter = platform::WinError::kInvalidParameter;
inline constexpr uint32_t kErrorMoreData = platform::WinError::kMoreData;
inline constexpr uint32_t kErrorNoMoreItems = platform::WinError::kNoMoreItems;
inline constexpr uint32_t kErrorBadDb =
    platform::WinError::kBadDb;  // a value or metadata file is corrupt
inline constexpr uint32_t kErrorBadKey =
    platform::WinError::kBadKey;  // a key directory is not a sound key
inline constexpr uint32_t kErrorCantRead = platform::WinError::kCantRead;
inline constexpr uint32_t kErrorCantWrite = platform::WinError::kCantWrite;
inline constexpr uint32_t kErrorKeyDeleted = platform::WinError::kKeyDeleted;

// Predefined roots, as the 32-bit constants of the Windows API.
enum class Root : uint32_t {
    ClassesRoot = 0x80000000,   // mapped to LocalMachine\SOFTWARE\Classes
    CurrentUser = 0x80000001,   // Users\<SID of the effective user>
    LocalMachine = 0x80000002,  // the machine-wide root
    Users = 0x80000003,         // subkeys are user SIDs
};

// Value types.
inline constexpr uint32_t kTypeNone = 0;
inline constexpr uint32_t kTypeString = 1;        // REG_SZ: UTF-16LE with terminator
inline constexpr uint32_t kTypeExpandString = 2;  // REG_EXPAND_SZ
inline constexpr uint32_t kTypeBinary = 3;        // REG_BINARY
inline constexpr uint32_t kTypeDword = 4;         // REG_DWORD: 4 bytes little-endian
inline constexpr uint32_t kTypeMultiString = 7;   // REG_MULTI_SZ: strings, each ended, then an end
inline constexpr uint32_t kTypeQword = 11;        // REG_QWORD: 8 bytes little-endian

// Access rights. Only the right to set values is enforced (the store's own
// file permissions decide everything else); the view flags are accepted and
// have no effect, as there is one view on this platform.
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyNotify = 0x0010;
inline constexpr uint32_t kKeyWow64_64Key = 0x0100;
inline constexpr uint32_t kKeyWow64_32Key = 0x0200;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyWrite = 0x20006;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;

// Limits (the Windows limits for names; values above 1 MiB are refused).
inline constexpr size_t kMaxKeyNameLength = 255;      // UTF-16 units per path component
inline constexpr size_t kMaxValueNameLength = 16383;  // UTF-16 units
inline constexpr size_t kMaxKeyDepth = 512;           // components below a root
inline constexpr size_t kMaxValueSize = 1024 * 1024;  // bytes of data

// A value as stored: its type and raw bytes.
struct Value {
    uint32_t type = kTypeNone;
    std::vector<uint8_t> data;
    bool operator==(const Value&) const = default;
};

// Builders of the common value types (strings get their terminator).
Value makeString(std::u16string_view text, uint32_t type = kTypeString);
Value makeDword(uint32_t number);
Value makeQword(uint64_t number);
Value makeBinary(std::span<const uint8_t> bytes);
// Items must be non-empty and free of NUL; otherwise nothing is built.
std::optional<Value> makeMultiString(const std::vector<std::u16string>& items);

// Readers: nothing when the type or the length does not fit. A string reads
// up to its first NUL.
std::optional<std::u16string> readString(const Value& value);
std::optional<uint32_t> readDword(const Value& value);
std::optional<uint64_t> readQword(const Value& value);
std::optional<std::vector<std::u16string>> readMultiString(const Value& value);

// A short English description of the Windows number of a store's error.
std::string describeError(uint32_t error);
// True when `result` failed with the store's error `code` (a kError* number).
template <typename T>
bool failedWith(const platform::Result<T>& result, uint32_t code) {
    return !result && result.error().windowsError() == code;
}

// The SID of a user id, in the Unix-user form "S-1-22-1-<uid>".
std::u16string sidOfUser(uint32_t uid);
// The SID that CurrentUser maps to: that of the effective user.
std::u16string currentUserSid();

namespace detail {
struct StoreState;
struct KeyState;
}  // namespace detail

// How a store is opened: for writing, a missing store (and its root keys)
// is created; for reading, nothing is ever created and a missing store is
// kErrorFileNotFound.
enum class StoreAccess { ReadWrite, ReadOnly };

// An opened store root. Cheap to copy; keys keep their store alive.
class Store {
  public:
    // Opens the store at `directory`, creating it (and its root keys) if
    // missing unless `access` is ReadOnly. Refuses a directory not owned by
    // the effective user or root, or writable by group or others
    // (kErrorAccessDenied). On Windows `directory` names a private store
    // kept below the current user's registry key Software\Holm\Stores (for
    // tests and tools); the registry's own permissions apply.
    static platform::Result<Store> open(const std::filesystem::path& directory,
                                        StoreAccess access = StoreAccess::ReadWrite);
    // Opens the store at defaultDirectory(); on Windows, when that is empty,
    // the system's registry itself.
    static platform::Result<Store> openDefault(StoreAccess access = StoreAccess::ReadWrite);
    // `HOLM_REGISTRY_DIR` if set and not empty, else /var/lib/holm/registry
    // (on Windows: else empty, the system's registry).
    static std::filesystem::path defaultDirectory();

    bool valid() const { return state_ != nullptr; }
    const std::shared_ptr<const detail::StoreState>& state() const { return state_; }

  private:
    std::shared_ptr<const detail::StoreState> state_;
};

// An opened key. Key paths are components separated by backslashes; one
// trailing backslash is ignored; an empty path is the root itself.
class Key {
  public:
    Key() = default;

    // Opens an existing key (kErrorFileNotFound if a component is missing).
    static platform::Result<Key> open(const Store& store, Root root, std::u16string_view path,
                                      uint32_t access = kKeyRead);
    // Opens a key, creating every missing component. `created` (if given)
    // tells whether the last component was created by this call.
    static platform::Result<Key> create(const Store& store, Root root, std::u16string_view path,
                                        uint32_t access = kKeyAllAccess, bool* created = nullptr);

    bool valid() const { return state_ != nullptr; }

    // Reads a value; the empty name is the key's default value.
    platform::Result<Value> queryValue(std::u16string_view name) const;
    // Writes a value atomically (readers see the old or the new value).
    platform::Status setValue(std::u16string_view name, const Value& value) const;
    platform::Status deleteValue(std::u16string_view name) const;
    // Names with their stored spelling, ordered without regard to case.
    platform::Result<std::vector<std::u16string>> enumerateSubkeys() const;
    platform::Result<std::vector<std::u16string>> enumerateValues() const;

    // The opened key as the backend holds it (for watches inside the store).
    const std::shared_ptr<const detail::KeyState>& state() const { return state_; }

  private:
    static platform::Result<Key> openOrCreate(const Store& store, Root root,
                                              std::u16string_view path, uint32_t access,
                                              bool create, bool* created);

    std::shared_ptr<const detail::KeyState> state_;
    uint32_t access_ = 0;
};

// Deletes a key that has no subkeys (kErrorAccessDenied if it has some, as
// the Windows call). Roots cannot be deleted.
platform::Status deleteKey(const Store& store, Root root, std::u16string_view path);
// Deletes a key with everything below it.
platform::Status deleteKeyTree(const Store& store, Root root, std::u16string_view path);

}  // namespace holm::registry
