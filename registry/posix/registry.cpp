// POSIX implementation of the registry store: a directory per key, a file per
// value, all opened relative to the store's descriptors without following
// symbolic links.
#include "registry/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/atomic_file.h"
#include "platform/directory_listing.h"
#include "platform/io.h"
#include "platform/random.h"
#include "registry/posix/registry_internal.h"
#include "registry/registry_backend.h"
#include "registry/registry_format.h"

namespace holm::registry {

using detail::KeyState;
using detail::StoreState;

namespace {

constexpr char kMetadataName[] = ".key";
constexpr char kLockName[] = ".lock";
constexpr char kTempName[] = ".tmp";
constexpr char kMachineName[] = "machine";
constexpr char kUsersName[] = "users";
constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0644;

// A failure of the store: the Windows number it reports and the errno value
// behind it (0 when none is).
platform::Error failure(uint32_t code, int error = 0) {
    return platform::Error::windows(code, error);
}

// The shared errno mapping, with the registry's own failure for errors it
// has no specific number for.
platform::Error errnoFailure(int error, uint32_t fallback) {
    const uint32_t mapped = platform::windowsErrorFromErrno(error);
    return failure(mapped == platform::WinError::kGenFailure ? fallback : mapped, error);
}

bool isTrusted(const struct stat& status) {
    return (status.st_uid == ::geteuid() || status.st_uid == 0) &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isDeleted(int directory) {
    struct stat status {};
    return ::fstat(directory, &status) == 0 && status.st_nlink == 0;
}

platform::UniqueFd duplicate(int fd) {
    return platform::UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

std::string randomSuffix() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string suffix;
    for (uint64_t bits = platform::uniqueNameBits(), i = 0; i < 16; ++i, bits >>= 4) {
        suffix += kHex[bits & 0xF];
    }
    return suffix;
}

// Opens a record file of the store: a regular file, not a link, not larger
// than `limit`, owned and protected like the store's directories.
struct Record {
    platform::UniqueFd file;
    uint64_t size = 0;
};

platform::Result<Record> openRecord(int directory, const std::string& name, uint64_t limit) {
    auto opened = platform::io::openAt(directory, name, {.nonBlocking = true});
    if (!opened) {
        const int error = opened.error().errnoValue();
        if (error == ENOENT) {
            return failure(isDeleted(directory) ? kErrorKeyDeleted : kErrorFileNotFound, error);
        }
        return error == ELOOP ? failure(kErrorBadDb, error) : errnoFailure(error, kErrorCantRead);
    }
    Record record{std::move(*opened)};
    struct stat status {};
    if (::fstat(record.file.get(), &status) != 0) {
        return failure(kErrorCantRead, errno);
    }
    if (!S_ISREG(status.st_mode) || static_cast<uint64_t>(status.st_size) > limit) {
        return failure(kErrorBadDb);
    }
    if (!isTrusted(status)) {
        return failure(kErrorAccessDenied);
    }
    record.size = static_cast<uint64_t>(status.st_size);
    return record;
}

platform::Result<std::vector<uint8_t>> readRecord(int directory, const std::string& name,
                                                  uint64_t limit) {
    auto record = openRecord(directory, name, limit);
    if (!record) {
        return record.error();
    }
    std::vector<uint8_t> bytes(record->size);
    const platform::Status read = platform::io::readFullAt(record->file.get(), bytes, 0);
    if (!read) {
        // A file that shrank under the reader is not a sound record.
        const int error = read.error().errnoValue();
        return error == ENODATA ? failure(kErrorBadDb, error) : errnoFailure(error, kErrorCantRead);
    }
    return bytes;
}

// The value name stored in a value file, read from its header only.
std::optional<std::u16string> readValueName(int directory, const std::string& entry) {
    const auto record = openRecord(directory, entry, format::kMaxValueFileSize);
    if (!record) {
        return std::nullopt;
    }
    const int file = record->file.get();
    std::vector<uint8_t> head(std::min<uint64_t>(record->size, format::kValueHeaderSize));
    if (!platform::io::readFullAt(file, head, 0)) {
        return std::nullopt;
    }
    const auto header = format::decodeValueHeader(head, record->size);
    if (!header) {
        return std::nullopt;
    }
    head.resize(format::kValueHeaderSize + 2 * size_t{header->nameLength});
    if (!platform::io::readFullAt(file, std::span(head).subspan(format::kValueHeaderSize),
                                  format::kValueHeaderSize)) {
        return std::nullopt;
    }
    return format::decodeValueName(head, *header);
}

// Reads a key directory's stored name and checks that it belongs under
// `entry` (a directory renamed by hand does not pass).
platform::Result<std::u16string> readKeyName(int keyDirectory, std::string_view entry) {
    const auto bytes =
        readRecord(keyDirectory, kMetadataName, format::kKeyHeaderSize + 2 * kMaxKeyNameLength);
    if (failedWith(bytes, kErrorAccessDenied) || failedWith(bytes, kErrorKeyDeleted)) {
        return bytes.error();
    }
    auto decoded = bytes ? format::decodeKeyMetadata(*bytes) : std::nullopt;
    if (!decoded || format::diskName('k', *decoded) != entry) {
        return failure(kErrorBadKey);
    }
    return std::move(*decoded);
}

platform::Result<platform::UniqueFd> openKeyComponent(int parent, std::u16string_view name) {
    const std::string entry = format::diskName('k', name);
    auto directory = detail::openTrustedDirectory(parent, entry);
    if (failedWith(directory, kErrorFileNotFound) && isDeleted(parent)) {
        return failure(kErrorKeyDeleted);
    }
    if (!directory) {
        return directory;
    }
    if (const auto stored = readKeyName(directory->get(), entry); !stored) {
        return stored.error();
    }
    return directory;
}

// An exclusive lock on a key's lock file, held while the object lives.
class KeyLock {
  public:
    platform::Status acquire(int directory) {
        auto opened =
            platform::io::openAt(directory, kLockName, {.create = true, .mode = kFileMode});
        if (!opened) {
            const int error = opened.error().errnoValue();
            return error == ENOENT ? failure(kErrorKeyDeleted, error)
                                   : errnoFailure(error, kErrorBadKey);
        }
        file_ = std::move(*opened);
        if (const platform::Status locked = platform::io::lockExclusive(file_.get()); !locked) {
            return failure(kErrorCantWrite, locked.error().errnoValue());
        }
        // The key may have been deleted while this process waited.
        if (isDeleted(directory)) {
            return failure(kErrorKeyDeleted);
        }
        return {};
    }

  private:
    platform::UniqueFd file_;
};

platform::Status checkedMkdir(int parent, const char* name) {
    const platform::Status made = platform::io::makeDirectoryAt(parent, name, kDirectoryMode);
    if (!made && made.error().errnoValue() != EEXIST) {
        return errnoFailure(made.error().errnoValue(), kErrorCantWrite);
    }
    return {};
}

// A key path resolved: the directory of its root and the components that
// lead from it to the key (the root's own key first: the user's SID, or
// SOFTWARE\Classes).
struct ResolvedPath {
    int directory = -1;
    std::vector<std::u16string> components;
};

platform::Result<ResolvedPath> resolveRoot(const StoreState& store, Root root,
                                           std::u16string_view path) {
    int directory = -1;
    std::vector<std::u16string> prefix;
    switch (root) {
        case Root::LocalMachine:
            directory = store.machine.get();
            break;
        case Root::Users:
            directory = store.users.get();
            break;
        case Root::CurrentUser:
            directory = store.users.get();
            prefix = {currentUserSid()};
            break;
        case Root::ClassesRoot:
            directory = store.machine.get();
            prefix = {u"SOFTWARE", u"Classes"};
            break;
        default:
            return failure(kErrorInvalidHandle);
    }
    auto components = format::splitKeyPath(path);
    if (!components) {
        return failure(kErrorInvalidParameter);
    }
    components->insert(components->begin(), prefix.begin(), prefix.end());
    if (components->size() > kMaxKeyDepth) {
        return failure(kErrorInvalidParameter);
    }
    return ResolvedPath{directory, std::move(*components)};
}

platform::Error writeFailure(const platform::Error& error) {
    return errnoFailure(error.errnoValue(), kErrorCantWrite);
}

platform::Status writeNewFile(int directory, const char* name, std::span<const uint8_t> bytes) {
    auto file = platform::io::openAt(directory, name,
                                     {.access = platform::io::Access::Write,
                                      .create = true,
                                      .exclusive = true,
                                      .mode = kFileMode});
    if (!file) {
        return writeFailure(file.error());
    }
    platform::Status status = platform::io::writeFull(file->get(), bytes);
    if (status) {
        status = platform::io::sync(file->get());
    }
    if (!status) {
        return writeFailure(status.error());
    }
    return {};
}

// Removes everything in a directory, subdirectories first, each under its
// own key lock so that a writer waiting on it finds the key deleted.
// Symbolic links are removed, never followed; other file systems are not
// entered.
bool removeContents(int directory, dev_t device);

bool removeDirectory(int parent, const std::string& name, dev_t device) {
    platform::UniqueFd directory =
        platform::io::openAt(parent, name, {.directory = true}).valueOr({});
    struct stat status {};
    if (!directory || ::fstat(directory.get(), &status) != 0 || status.st_dev != device) {
        return false;
    }
    // Without the lock a writer waiting on this key would not learn that it
    // was deleted: leave the directory for a later removal instead.
    KeyLock lock;
    if (!lock.acquire(directory.get())) {
        return false;
    }
    const bool emptied = removeContents(directory.get(), device);
    // A lock file left behind makes the directory's removal below fail.
    (void)platform::io::removeAt(directory.get(), kLockName);
    return emptied && platform::io::removeAt(parent, name, platform::io::Remove::Directory).ok();
}

bool removeContents(int directory, dev_t device) {
    const auto names = detail::listEntries(directory, [](std::string_view name) {
        return name != "." && name != ".." && name != kLockName;
    });
    bool removed = true;
    for (const auto& name : names.valueOr({})) {
        struct stat status {};
        const bool isDirectory =
            ::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode);
        const bool ok = isDirectory ? removeDirectory(directory, name, device)
                                    : platform::io::removeAt(directory, name).ok();
        removed = removed && ok;
    }
    return removed;
}

// Removes a key directory that is already out of the tree (in the store's
// temporary directory) and whose lock, if any, the caller holds.
void removeDetachedKey(const StoreState& store, int directory, const std::string& name) {
    removeContents(directory, store.device);
    // What cannot be removed now is a leftover the next sweep takes.
    (void)platform::io::removeAt(directory, kLockName);
    (void)platform::io::removeAt(store.temp.get(), name, platform::io::Remove::Directory);
}

// ---------------------------------------------------------------------------
// Leftovers in the temporary directory
//
// A temporary entry lives only during one write operation: a value file
// until its rename, a new key until it is renamed into place, a deleted key
// until it is emptied. Every such operation holds a shared lock on ".tmp/"
// itself (the directory, opened anew, so that each operation has a lock of
// its own). Opening the store takes that lock exclusively without waiting;
// when that succeeds no write operation is under way in any process, so
// whatever ".tmp/" holds was left by a writer that died, and it goes.

platform::UniqueFd openSweepLock(const StoreState& store) {
    return platform::io::openAt(store.root.get(), kTempName, {.directory = true}).valueOr({});
}

// Marks a write operation whose temporary entries must not be swept.
class TemporaryUse {
  public:
    explicit TemporaryUse(const StoreState& store) : lock_(openSweepLock(store)) {
        if (lock_) {
            // flock fails only for want of kernel memory; the write then goes
            // ahead unmarked, exposed only to a sweep by a store opened at
            // that very moment.
            (void)platform::io::lockShared(lock_.get());
        }
    }

  private:
    platform::UniqueFd lock_;
};

// Removes the leftovers of dead writers from ".tmp/" when no writer is at
// work; does nothing otherwise, or for a reader that cannot write the store.
void sweepTemporaryDirectory(const StoreState& store) {
    platform::UniqueFd lock = openSweepLock(store);
    if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return;
    }
    const auto names = detail::listEntries(
        store.temp.get(), [](std::string_view name) { return name != "." && name != ".."; });
    for (const auto& name : names.valueOr({})) {
        struct stat status {};
        if (::fstatat(store.temp.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            removeDirectory(store.temp.get(), name, store.device);
        } else {
            (void)platform::io::removeAt(store.temp.get(), name);  // tried again at the next sweep
        }
    }
}

bool hasSubkeys(int directory) {
    const auto names = detail::listEntries(directory, detail::isSubkeyEntry);
    return !names || !names->empty();
}

// Creates a subkey under `parent` (whose lock the caller holds): built
// complete in the temporary directory, then renamed into place, so that a
// key is never seen without its metadata.
// The steps of createSubkey after the temporary directory exists.
platform::Status fillNewKey(const StoreState& store, int directory, const std::string& temporary,
                            int parent, std::u16string_view name) {
    if (platform::Status written =
            writeNewFile(directory, kMetadataName, format::encodeKeyMetadata(name));
        !written) {
        return written;
    }
    if (platform::Status written = writeNewFile(directory, kLockName, {}); !written) {
        return written;
    }
    if (const platform::Status synced = platform::io::sync(directory); !synced) {
        return writeFailure(synced.error());
    }
    const platform::Status renamed = platform::io::renameAt(store.temp.get(), temporary, parent,
                                                            format::diskName('k', name), true);
    if (!renamed) {
        // EEXIST: something not made by the store sits under that name.
        const int error = renamed.error().errnoValue();
        return error == EEXIST ? failure(kErrorBadKey, error) : writeFailure(renamed.error());
    }
    return {};
}

platform::Result<platform::UniqueFd> createSubkey(const StoreState& store, int parent,
                                                  std::u16string_view name) {
    const TemporaryUse inUse(store);
    const std::string temporary = "k-" + randomSuffix();
    if (const platform::Status made =
            platform::io::makeDirectoryAt(store.temp.get(), temporary, kDirectoryMode);
        !made) {
        return errnoFailure(made.error().errnoValue(), kErrorCantWrite);
    }
    auto directory = detail::openTrustedDirectory(store.temp.get(), temporary);
    const platform::Status filled =
        directory ? fillNewKey(store, directory->get(), temporary, parent, name)
                  : platform::Status(directory.error());
    if (!filled) {
        removeDetachedKey(store, directory ? directory->get() : -1, temporary);
        return filled.error();
    }
    return directory;
}

// Walks `components` from `directory`, creating missing keys when asked.
// One component of a walk, created (under its parent's lock) when missing
// and `create` is set; `created` tells whether it was.
platform::Result<platform::UniqueFd> openOrCreateComponent(const StoreState& store, int parent,
                                                           std::u16string_view component,
                                                           bool create, bool& created) {
    auto next = openKeyComponent(parent, component);
    if (!failedWith(next, kErrorFileNotFound) || !create) {
        return next;
    }
    KeyLock lock;
    if (platform::Status locked = lock.acquire(parent); !locked) {
        return locked.error();
    }
    next = openKeyComponent(parent, component);
    if (failedWith(next, kErrorFileNotFound)) {
        next = createSubkey(store, parent, component);
        created = next.ok();
    }
    return next;
}

// Walks `components` from `directory`, creating missing keys when asked.
// `created` (if given) tells whether the last component was created.
platform::Result<platform::UniqueFd> walk(const StoreState& store, int directory,
                                          const std::vector<std::u16string>& components,
                                          bool createMissing, bool* created) {
    platform::UniqueFd current = duplicate(directory);
    if (!current) {
        return errnoFailure(errno, kErrorCantRead);
    }
    if (created) {
        *created = false;
    }
    for (const auto& component : components) {
        bool made = false;
        auto next = openOrCreateComponent(store, current.get(), component, createMissing, made);
        if (!next) {
            return next;
        }
        if (created && made) {
            *created = &component == &components.back();
        }
        current = std::move(*next);
    }
    return current;
}

platform::Result<platform::UniqueFd> openStoreChild(int root, const char* name, bool create) {
    if (!create) {
        auto directory = detail::openTrustedDirectory(root, name);
        // A store never written has no temporary directory; reading needs none.
        if (failedWith(directory, kErrorFileNotFound) && std::string_view(name) == kTempName) {
            return platform::UniqueFd();
        }
        return directory;
    }
    if (platform::Status made = checkedMkdir(root, name); !made) {
        return made.error();
    }
    return detail::openTrustedDirectory(root, name);
}

// Creates the store directory and its missing parents like `mkdir -p`.
platform::Status makeStoreDirectory(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const auto& part : directory) {
        partial /= part;
        const platform::Status made =
            platform::io::makeDirectoryAt(AT_FDCWD, partial, kDirectoryMode);
        if (!made && made.error().errnoValue() != EEXIST) {
            return errnoFailure(made.error().errnoValue(), kErrorCantWrite);
        }
    }
    return {};
}

// Opens the key `last` under `parent` for deletion, both locked; a key with
// subkeys is refused unless `recursive`.
platform::Status lockForDeletion(int parent, std::u16string_view last, bool recursive,
                                 KeyLock& parentLock, platform::UniqueFd& child,
                                 KeyLock& childLock) {
    if (platform::Status locked = parentLock.acquire(parent); !locked) {
        return locked;
    }
    auto opened = openKeyComponent(parent, last);
    if (!opened) {
        return opened.error();
    }
    child = std::move(*opened);
    if (platform::Status locked = childLock.acquire(child.get()); !locked) {
        return locked;
    }
    if (!recursive && hasSubkeys(child.get())) {
        return failure(kErrorAccessDenied);
    }
    return {};
}

platform::Status deleteKeyImpl(const Store& store, Root root, std::u16string_view path,
                               bool recursive) {
    if (!store.valid()) {
        return failure(kErrorInvalidHandle);
    }
    const StoreState& state = *store.state();
    auto resolved = resolveRoot(state, root, path);
    if (!resolved) {
        return resolved.error();
    }
    if (path.empty() || path == u"\\") {
        return failure(kErrorAccessDenied);  // a root is never deleted
    }
    std::vector<std::u16string>& components = resolved->components;
    const std::u16string last = components.back();
    components.pop_back();
    const auto parent = walk(state, resolved->directory, components, false, nullptr);
    if (!parent) {
        return parent.error();
    }
    KeyLock parentLock;
    platform::UniqueFd child;
    KeyLock childLock;
    if (platform::Status locked =
            lockForDeletion(parent->get(), last, recursive, parentLock, child, childLock);
        !locked) {
        return locked;
    }
    // The key leaves the tree in one step; its contents go afterwards.
    const std::string entry = format::diskName('k', last);
    const std::string doomed = "d-" + randomSuffix();
    const TemporaryUse inUse(state);
    if (const platform::Status moved =
            platform::io::renameAt(parent->get(), entry, state.temp.get(), doomed);
        !moved) {
        return writeFailure(moved.error());
    }
    removeDetachedKey(state, child.get(), doomed);
    return {};
}

}  // namespace

namespace detail {

platform::Result<platform::UniqueFd> openTrustedDirectory(int parent, const std::string& name) {
    auto opening = platform::io::openAt(parent, name, {.directory = true});
    if (!opening) {
        const int error = opening.error().errnoValue();
        if (error == ENOENT) {
            return failure(kErrorFileNotFound, error);
        }
        return (error == ELOOP || error == ENOTDIR) ? failure(kErrorBadKey, error)
                                                    : errnoFailure(error, kErrorCantRead);
    }
    platform::UniqueFd opened = std::move(*opening);
    struct stat status {};
    if (::fstat(opened.get(), &status) != 0) {
        return failure(kErrorCantRead, errno);
    }
    if (!isTrusted(status)) {
        return failure(kErrorAccessDenied);
    }
    return opened;
}

// Lists a key directory's entry names of one kind.
platform::Result<std::vector<std::string>> listEntries(int directory,
                                                       bool (*select)(std::string_view)) {
    auto entries = platform::entryNamesAt(directory);
    if (!entries) {
        return errnoFailure(entries.error().errnoValue(), kErrorCantRead);
    }
    std::vector<std::string> names;
    for (std::string& name : *entries) {
        if (select(name)) {
            names.push_back(std::move(name));
        }
    }
    if (isDeleted(directory)) {
        return failure(kErrorKeyDeleted);
    }
    return names;
}

}  // namespace detail

std::u16string currentUserSid() {
    return sidOfUser(::geteuid());
}

std::filesystem::path Store::defaultDirectory() {
    const char* configured = std::getenv("HOLM_REGISTRY_DIR");
    return (configured && *configured) ? configured : "/var/lib/holm/registry";
}

platform::Result<Store> Store::openDefault(StoreAccess access) {
    return open(defaultDirectory(), access);
}

namespace detail {

platform::Result<std::shared_ptr<const StoreState>> openStore(
    const std::filesystem::path& directory, StoreAccess access) {
    if (directory.empty()) {
        return failure(kErrorInvalidParameter);
    }
    const bool create = access == StoreAccess::ReadWrite;
    if (create) {
        if (platform::Status made = makeStoreDirectory(directory); !made) {
            return made.error();
        }
    }
    auto state = std::make_shared<StoreState>();
    state->directory = directory;
    auto root = platform::io::open(directory, {.directory = true, .followLink = true});
    if (!root) {
        return errnoFailure(root.error().errnoValue(), kErrorCantRead);
    }
    state->root = std::move(*root);
    struct stat status {};
    if (::fstat(state->root.get(), &status) != 0) {
        return errnoFailure(errno, kErrorCantRead);
    }
    if (!isTrusted(status)) {
        return failure(kErrorAccessDenied);
    }
    state->device = status.st_dev;
    for (auto [name, fd] :
         {std::pair{kTempName, &state->temp}, std::pair{kMachineName, &state->machine},
          std::pair{kUsersName, &state->users}}) {
        auto child = openStoreChild(state->root.get(), name, create);
        if (!child) {
            return child.error();
        }
        *fd = std::move(*child);
    }
    if (create) {
        sweepTemporaryDirectory(*state);  // a reader changes nothing on disk
    }
    // Root keys get their lock file now, so that a watch on a root never sees
    // it appear. A reader without write access to the store goes without, and
    // a store opened for reading creates nothing.
    for (const platform::UniqueFd* rootKey : {&state->machine, &state->users}) {
        if (create) {
            (void)platform::io::openAt(rootKey->get(), kLockName,
                                       {.create = true, .mode = kFileMode});
        }
    }
    return std::shared_ptr<const StoreState>(std::move(state));
}

}  // namespace detail

namespace {

// Opens (or, with `create`, creates) the key directory of `path` under `root`.
platform::Result<platform::UniqueFd> openKeyDirectory(const Store& store, Root root,
                                                      std::u16string_view path, bool create,
                                                      bool* created) {
    if (!store.valid()) {
        return failure(kErrorInvalidHandle);
    }
    const auto resolved = resolveRoot(*store.state(), root, path);
    if (!resolved) {
        return resolved.error();
    }
    return walk(*store.state(), resolved->directory, resolved->components, create, created);
}

}  // namespace

namespace detail {

platform::Result<std::shared_ptr<const KeyState>> openKey(const Store& store, Root root,
                                                          std::u16string_view path, uint32_t access,
                                                          bool create, bool* created) {
    auto opened = openKeyDirectory(store, root, path, create, created);
    if (!opened) {
        return opened.error();
    }
    return std::make_shared<const KeyState>(KeyState{store, std::move(*opened)});
}

platform::Result<Value> readValue(const KeyState& key, std::u16string_view name) {
    const auto bytes =
        readRecord(key.directory.get(), format::diskName('v', name), format::kMaxValueFileSize);
    if (!bytes) {
        return bytes.error();
    }
    std::u16string stored;
    Value decoded;
    if (!format::decodeValueFile(*bytes, stored, decoded) ||
        format::foldCase(stored) != format::foldCase(name)) {
        return failure(kErrorBadDb);
    }
    return decoded;
}

platform::Status writeValue(const KeyState& key, std::u16string_view name, const Value& value) {
    const StoreState& store = *key.store.state();
    const int directory = key.directory.get();
    const TemporaryUse inUse(store);
    KeyLock lock;
    if (platform::Status locked = lock.acquire(directory); !locked) {
        return locked;
    }
    // Under the key's lock the temporary name, unique per key (its inode) and
    // value, is ours alone; a leftover of a writer that died is replaced.
    // Without the inode two keys' writers could share a name: fail instead.
    struct stat status {};
    if (::fstat(directory, &status) != 0) {
        return errnoFailure(errno, kErrorCantWrite);
    }
    const std::string entry = format::diskName('v', name);
    // A value that exists keeps the spelling it was created with.
    const auto existing = readValueName(directory, entry);
    const std::u16string_view spelling =
        existing && format::foldCase(*existing) == format::foldCase(name) ? *existing : name;
    const std::string temporary = "v-" + std::to_string(status.st_ino) + "-" + entry;
    const platform::Status written = platform::replaceFileAtomically(
        store.temp.get(), temporary, directory, entry, format::encodeValueFile(spelling, value),
        {.mode = kFileMode});
    if (!written) {
        // A directory standing where the value file should be.
        const int error = written.error().errnoValue();
        return error == EISDIR ? failure(kErrorBadDb, error) : writeFailure(written.error());
    }
    return {};
}

platform::Status removeValue(const KeyState& key, std::u16string_view name) {
    const int directory = key.directory.get();
    KeyLock lock;
    if (platform::Status locked = lock.acquire(directory); !locked) {
        return locked;
    }
    const std::string entry = format::diskName('v', name);
    if (const platform::Status removed = platform::io::removeAt(directory, entry); !removed) {
        const int error = removed.error().errnoValue();
        return (error == EISDIR || error == EPERM) ? failure(kErrorBadDb, error)
                                                   : errnoFailure(error, kErrorCantWrite);
    }
    return {};
}

platform::Result<std::vector<std::u16string>> subkeyNames(const KeyState& key) {
    const int directory = key.directory.get();
    const auto entries = listEntries(directory, isSubkeyEntry);
    if (!entries) {
        return entries.error();
    }
    std::vector<std::u16string> names;
    for (const auto& entry : *entries) {
        if (const auto subkey = openTrustedDirectory(directory, entry)) {
            if (auto name = readKeyName(subkey->get(), entry)) {
                names.push_back(std::move(*name));
            }
        }
    }
    return names;
}

platform::Result<std::vector<std::u16string>> valueNames(const KeyState& key) {
    const int directory = key.directory.get();
    const auto entries = listEntries(directory, isValueEntry);
    if (!entries) {
        return entries.error();
    }
    std::vector<std::u16string> names;
    for (const auto& entry : *entries) {
        auto name = readValueName(directory, entry);
        if (name && format::diskName('v', *name) == entry) {
            names.push_back(std::move(*name));
        }
    }
    return names;
}

platform::Status removeKey(const Store& store, Root root, std::u16string_view path,
                           bool recursive) {
    return deleteKeyImpl(store, root, path, recursive);
}

}  // namespace detail

}  // namespace holm::registry
