// POSIX implementation of the registry store: a directory per key, a file per
// value, all opened relative to the store's descriptors without following
// symbolic links.
#include "registry/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>

#include "platform/atomic_file.h"
#include "platform/io.h"
#include "registry/posix/registry_internal.h"
#include "registry/registry_format.h"

namespace holm::platform::registry {

using detail::StoreState;

namespace {

constexpr char kMetadataName[] = ".key";
constexpr char kLockName[] = ".lock";
constexpr char kTempName[] = ".tmp";
constexpr char kMachineName[] = "machine";
constexpr char kUsersName[] = "users";
constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0644;

// The shared errno mapping, with the registry's own failure for errors it
// has no specific number for.
uint32_t errorFromErrno(int error, uint32_t fallback) {
    const uint32_t mapped = windowsErrorFromErrno(error);
    return mapped == WinError::kGenFailure ? fallback : mapped;
}

bool isTrusted(const struct stat& status) {
    return (status.st_uid == ::geteuid() || status.st_uid == 0) &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isDeleted(int directory) {
    struct stat status {};
    return ::fstat(directory, &status) == 0 && status.st_nlink == 0;
}

UniqueFd duplicate(int fd) {
    return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

std::string randomSuffix() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string suffix;
    for (uint64_t bits = generator(), i = 0; i < 16; ++i, bits >>= 4) {
        suffix += kHex[bits & 0xF];
    }
    return suffix;
}

// Opens a record file of the store: a regular file, not a link, not larger
// than `limit`, owned and protected like the store's directories.
uint32_t openRecord(int directory, const std::string& name, uint64_t limit, UniqueFd& file,
                    uint64_t& size) {
    auto opened = io::openAt(directory, name, {.nonBlocking = true});
    if (!opened) {
        const int error = opened.error().errnoValue();
        if (error == ENOENT) {
            return isDeleted(directory) ? kErrorKeyDeleted : kErrorFileNotFound;
        }
        return error == ELOOP ? kErrorBadDb : errorFromErrno(error, kErrorCantRead);
    }
    file = std::move(*opened);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        return kErrorCantRead;
    }
    if (!S_ISREG(status.st_mode) || static_cast<uint64_t>(status.st_size) > limit) {
        return kErrorBadDb;
    }
    if (!isTrusted(status)) {
        return kErrorAccessDenied;
    }
    size = static_cast<uint64_t>(status.st_size);
    return kErrorSuccess;
}

uint32_t readRecord(int directory, const std::string& name, uint64_t limit,
                    std::vector<uint8_t>& bytes) {
    UniqueFd file;
    uint64_t size = 0;
    if (uint32_t error = openRecord(directory, name, limit, file, size)) {
        return error;
    }
    bytes.resize(size);
    const Status read = io::readFullAt(file.get(), bytes, 0);
    if (!read) {
        // A file that shrank under the reader is not a sound record.
        const int error = read.error().errnoValue();
        return error == ENODATA ? kErrorBadDb : errorFromErrno(error, kErrorCantRead);
    }
    return kErrorSuccess;
}

// The value name stored in a value file, read from its header only.
std::optional<std::u16string> readValueName(int directory, const std::string& entry) {
    UniqueFd file;
    uint64_t size = 0;
    if (openRecord(directory, entry, format::kMaxValueFileSize, file, size) != kErrorSuccess) {
        return std::nullopt;
    }
    std::vector<uint8_t> head(std::min<uint64_t>(size, format::kValueHeaderSize));
    if (!io::readFullAt(file.get(), head, 0)) {
        return std::nullopt;
    }
    const auto header = format::decodeValueHeader(head, size);
    if (!header) {
        return std::nullopt;
    }
    head.resize(format::kValueHeaderSize + 2 * size_t{header->nameLength});
    if (!io::readFullAt(file.get(), std::span(head).subspan(format::kValueHeaderSize),
                        format::kValueHeaderSize)) {
        return std::nullopt;
    }
    return format::decodeValueName(head, *header);
}

// Reads a key directory's stored name and checks that it belongs under
// `entry` (a directory renamed by hand does not pass).
uint32_t readKeyName(int keyDirectory, std::string_view entry, std::u16string& name) {
    std::vector<uint8_t> bytes;
    const uint32_t error = readRecord(keyDirectory, kMetadataName,
                                      format::kKeyHeaderSize + 2 * kMaxKeyNameLength, bytes);
    if (error == kErrorAccessDenied || error == kErrorKeyDeleted) {
        return error;
    }
    auto decoded = error ? std::nullopt : format::decodeKeyMetadata(bytes);
    if (!decoded || format::diskName('k', *decoded) != entry) {
        return kErrorBadKey;
    }
    name = std::move(*decoded);
    return kErrorSuccess;
}

uint32_t openKeyComponent(int parent, std::u16string_view name, UniqueFd& key) {
    const std::string entry = format::diskName('k', name);
    UniqueFd directory;
    uint32_t error = detail::openTrustedDirectory(parent, entry, directory);
    if (error == kErrorFileNotFound && isDeleted(parent)) {
        return kErrorKeyDeleted;
    }
    std::u16string stored;
    if (error == kErrorSuccess) {
        error = readKeyName(directory.get(), entry, stored);
    }
    if (error == kErrorSuccess) {
        key = std::move(directory);
    }
    return error;
}

// An exclusive lock on a key's lock file, held while the object lives.
class KeyLock {
  public:
    uint32_t acquire(int directory) {
        auto opened = io::openAt(directory, kLockName, {.create = true, .mode = kFileMode});
        if (!opened) {
            const int error = opened.error().errnoValue();
            return error == ENOENT ? kErrorKeyDeleted : errorFromErrno(error, kErrorBadKey);
        }
        file_ = std::move(*opened);
        if (!io::lockExclusive(file_.get())) {
            return kErrorCantWrite;
        }
        // The key may have been deleted while this process waited.
        return isDeleted(directory) ? kErrorKeyDeleted : kErrorSuccess;
    }

  private:
    UniqueFd file_;
};

uint32_t checkedMkdir(int parent, const char* name) {
    if (::mkdirat(parent, name, kDirectoryMode) != 0 && errno != EEXIST) {
        return errorFromErrno(errno, kErrorCantWrite);
    }
    return kErrorSuccess;
}

// Splits a key path into validated components (one trailing backslash is
// allowed; empty components are not).
uint32_t splitPath(std::u16string_view path, std::vector<std::u16string>& components) {
    if (!path.empty() && path.back() == u'\\') {
        path.remove_suffix(1);
    }
    components.clear();
    if (path.empty()) {
        return kErrorSuccess;
    }
    size_t start = 0;
    while (true) {
        const size_t end = std::min(path.find(u'\\', start), path.size());
        const auto component = path.substr(start, end - start);
        if (!format::isValidKeyName(component) || components.size() >= kMaxKeyDepth) {
            return kErrorInvalidParameter;
        }
        components.emplace_back(component);
        if (end == path.size()) {
            return kErrorSuccess;
        }
        start = end + 1;
    }
}

// The directory of a root and the components that lead from it to the
// root's own key (the user's SID, or SOFTWARE\Classes).
uint32_t resolveRoot(const StoreState& store, Root root, std::u16string_view path, int& directory,
                     std::vector<std::u16string>& components) {
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
            return kErrorInvalidHandle;
    }
    if (uint32_t error = splitPath(path, components)) {
        return error;
    }
    components.insert(components.begin(), prefix.begin(), prefix.end());
    return components.size() > kMaxKeyDepth ? kErrorInvalidParameter : kErrorSuccess;
}

uint32_t writeFailure(const Error& error) {
    return errorFromErrno(error.errnoValue(), kErrorCantWrite);
}

uint32_t writeNewFile(int directory, const char* name, std::span<const uint8_t> bytes) {
    auto file = io::openAt(
        directory, name,
        {.access = io::Access::Write, .create = true, .exclusive = true, .mode = kFileMode});
    if (!file) {
        return writeFailure(file.error());
    }
    Status status = io::writeFull(file->get(), bytes);
    if (status) {
        status = io::sync(file->get());
    }
    return status ? kErrorSuccess : writeFailure(status.error());
}

// Removes everything in a directory, subdirectories first, each under its
// own key lock so that a writer waiting on it finds the key deleted.
// Symbolic links are removed, never followed; other file systems are not
// entered.
bool removeContents(int directory, dev_t device);

bool removeDirectory(int parent, const std::string& name, dev_t device) {
    UniqueFd directory = io::openAt(parent, name, {.directory = true}).valueOr({});
    struct stat status {};
    if (!directory || ::fstat(directory.get(), &status) != 0 || status.st_dev != device) {
        return false;
    }
    // Without the lock a writer waiting on this key would not learn that it
    // was deleted: leave the directory for a later removal instead.
    KeyLock lock;
    if (lock.acquire(directory.get()) != kErrorSuccess) {
        return false;
    }
    const bool emptied = removeContents(directory.get(), device);
    ::unlinkat(directory.get(), kLockName, 0);
    return emptied && ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
}

bool removeContents(int directory, dev_t device) {
    std::vector<std::string> names;
    detail::listEntries(
        directory,
        [](std::string_view name) { return name != "." && name != ".." && name != kLockName; },
        names);
    bool removed = true;
    for (const auto& name : names) {
        struct stat status {};
        const bool isDirectory =
            ::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode);
        const bool ok = isDirectory ? removeDirectory(directory, name, device)
                                    : ::unlinkat(directory, name.c_str(), 0) == 0;
        removed = removed && ok;
    }
    return removed;
}

// Removes a key directory that is already out of the tree (in the store's
// temporary directory) and whose lock, if any, the caller holds.
void removeDetachedKey(const StoreState& store, int directory, const std::string& name) {
    removeContents(directory, store.device);
    ::unlinkat(directory, kLockName, 0);
    ::unlinkat(store.temp.get(), name.c_str(), AT_REMOVEDIR);
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

UniqueFd openSweepLock(const StoreState& store) {
    return io::openAt(store.root.get(), kTempName, {.directory = true}).valueOr({});
}

// Marks a write operation whose temporary entries must not be swept.
class TemporaryUse {
  public:
    explicit TemporaryUse(const StoreState& store) : lock_(openSweepLock(store)) {
        if (lock_) {
            // flock fails only for want of kernel memory; the write then goes
            // ahead unmarked, exposed only to a sweep by a store opened at
            // that very moment.
            (void)io::lockShared(lock_.get());
        }
    }

  private:
    UniqueFd lock_;
};

// Removes the leftovers of dead writers from ".tmp/" when no writer is at
// work; does nothing otherwise, or for a reader that cannot write the store.
void sweepTemporaryDirectory(const StoreState& store) {
    UniqueFd lock = openSweepLock(store);
    if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return;
    }
    std::vector<std::string> names;
    detail::listEntries(
        store.temp.get(), [](std::string_view name) { return name != "." && name != ".."; }, names);
    for (const auto& name : names) {
        struct stat status {};
        if (::fstatat(store.temp.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            removeDirectory(store.temp.get(), name, store.device);
        } else {
            ::unlinkat(store.temp.get(), name.c_str(), 0);
        }
    }
}

bool hasSubkeys(int directory) {
    std::vector<std::string> names;
    return detail::listEntries(directory, detail::isSubkeyEntry, names) != kErrorSuccess ||
           !names.empty();
}

void sortByFoldedName(std::vector<std::u16string>& names) {
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
        const auto foldedA = format::foldCase(a);
        const auto foldedB = format::foldCase(b);
        return foldedA != foldedB ? foldedA < foldedB : a < b;
    });
}

// Creates a subkey under `parent` (whose lock the caller holds): built
// complete in the temporary directory, then renamed into place, so that a
// key is never seen without its metadata.
uint32_t createSubkey(const StoreState& store, int parent, std::u16string_view name,
                      UniqueFd& key) {
    const TemporaryUse inUse(store);
    const std::string temporary = "k-" + randomSuffix();
    if (::mkdirat(store.temp.get(), temporary.c_str(), kDirectoryMode) != 0) {
        return errorFromErrno(errno, kErrorCantWrite);
    }
    UniqueFd directory;
    uint32_t error = detail::openTrustedDirectory(store.temp.get(), temporary, directory);
    if (error == kErrorSuccess) {
        error = writeNewFile(directory.get(), kMetadataName, format::encodeKeyMetadata(name));
    }
    if (error == kErrorSuccess) {
        error = writeNewFile(directory.get(), kLockName, {});
    }
    if (error == kErrorSuccess) {
        const Status synced = io::sync(directory.get());
        error = synced ? kErrorSuccess : writeFailure(synced.error());
    }
    const std::string entry = format::diskName('k', name);
    if (error == kErrorSuccess) {
        const Status renamed = io::renameAt(store.temp.get(), temporary, parent, entry, true);
        // EEXIST: something not made by the store sits under that name.
        error = renamed                                  ? kErrorSuccess
                : renamed.error().errnoValue() == EEXIST ? kErrorBadKey
                                                         : writeFailure(renamed.error());
    }
    if (error != kErrorSuccess) {
        removeDetachedKey(store, directory.get(), temporary);
        return error;
    }
    key = std::move(directory);
    return kErrorSuccess;
}

// Walks `components` from `directory`, creating missing keys when asked.
uint32_t walk(const StoreState& store, int directory, const std::vector<std::u16string>& components,
              bool createMissing, UniqueFd& key, bool* created) {
    UniqueFd current = duplicate(directory);
    if (!current) {
        return errorFromErrno(errno, kErrorCantRead);
    }
    if (created) {
        *created = false;
    }
    for (const auto& component : components) {
        UniqueFd next;
        uint32_t error = openKeyComponent(current.get(), component, next);
        if (error == kErrorFileNotFound && createMissing) {
            KeyLock lock;
            error = lock.acquire(current.get());
            if (error == kErrorSuccess) {
                error = openKeyComponent(current.get(), component, next);
            }
            if (error == kErrorFileNotFound) {
                error = createSubkey(store, current.get(), component, next);
                if (created && error == kErrorSuccess) {
                    *created = &component == &components.back();
                }
            }
        }
        if (error != kErrorSuccess) {
            return error;
        }
        current = std::move(next);
    }
    key = std::move(current);
    return kErrorSuccess;
}

uint32_t openStoreChild(int root, const char* name, UniqueFd& directory, bool create) {
    if (!create) {
        const uint32_t error = detail::openTrustedDirectory(root, name, directory);
        // A store never written has no temporary directory; reading needs none.
        return error == kErrorFileNotFound && std::string_view(name) == kTempName ? kErrorSuccess
                                                                                  : error;
    }
    if (uint32_t error = checkedMkdir(root, name)) {
        return error;
    }
    return detail::openTrustedDirectory(root, name, directory);
}

// Creates the store directory and its missing parents like `mkdir -p`.
uint32_t makeStoreDirectory(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const auto& part : directory) {
        partial /= part;
        if (::mkdir(partial.c_str(), kDirectoryMode) != 0 && errno != EEXIST) {
            return errorFromErrno(errno, kErrorCantWrite);
        }
    }
    return kErrorSuccess;
}

uint32_t deleteKeyImpl(const Store& store, Root root, std::u16string_view path, bool recursive) {
    if (!store.valid()) {
        return kErrorInvalidHandle;
    }
    const StoreState& state = *store.state();
    int rootDirectory = -1;
    std::vector<std::u16string> components;
    if (uint32_t error = resolveRoot(state, root, path, rootDirectory, components)) {
        return error;
    }
    if (path.empty() || path == u"\\") {
        return kErrorAccessDenied;  // a root is never deleted
    }
    const std::u16string last = components.back();
    components.pop_back();
    UniqueFd parent;
    if (uint32_t error = walk(state, rootDirectory, components, false, parent, nullptr)) {
        return error;
    }
    KeyLock parentLock;
    UniqueFd child;
    KeyLock childLock;
    uint32_t error = parentLock.acquire(parent.get());
    if (error == kErrorSuccess) {
        error = openKeyComponent(parent.get(), last, child);
    }
    if (error == kErrorSuccess) {
        error = childLock.acquire(child.get());
    }
    if (error == kErrorSuccess && !recursive && hasSubkeys(child.get())) {
        error = kErrorAccessDenied;
    }
    if (error != kErrorSuccess) {
        return error;
    }
    // The key leaves the tree in one step; its contents go afterwards.
    const std::string entry = format::diskName('k', last);
    const std::string doomed = "d-" + randomSuffix();
    const TemporaryUse inUse(state);
    if (const Status moved = io::renameAt(parent.get(), entry, state.temp.get(), doomed); !moved) {
        return writeFailure(moved.error());
    }
    removeDetachedKey(state, child.get(), doomed);
    return kErrorSuccess;
}

}  // namespace

namespace detail {

uint32_t openTrustedDirectory(int parent, const std::string& name, UniqueFd& directory) {
    auto opening = io::openAt(parent, name, {.directory = true});
    if (!opening) {
        const int error = opening.error().errnoValue();
        if (error == ENOENT) {
            return kErrorFileNotFound;
        }
        return (error == ELOOP || error == ENOTDIR) ? kErrorBadKey
                                                    : errorFromErrno(error, kErrorCantRead);
    }
    UniqueFd opened = std::move(*opening);
    struct stat status {};
    if (::fstat(opened.get(), &status) != 0) {
        return kErrorCantRead;
    }
    if (!isTrusted(status)) {
        return kErrorAccessDenied;
    }
    directory = std::move(opened);
    return kErrorSuccess;
}

// Lists a key directory's entry names of one kind.
uint32_t listEntries(int directory, bool (*select)(std::string_view),
                     std::vector<std::string>& names) {
    UniqueFd listing(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* stream = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!stream) {
        return errorFromErrno(errno, kErrorCantRead);
    }
    listing.release();
    while (dirent* entry = ::readdir(stream)) {
        if (select(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(stream);
    return isDeleted(directory) ? kErrorKeyDeleted : kErrorSuccess;
}

}  // namespace detail

std::u16string currentUserSid() {
    return sidOfUser(::geteuid());
}

std::filesystem::path Store::defaultDirectory() {
    const char* configured = std::getenv("HOLM_REGISTRY_DIR");
    return (configured && *configured) ? configured : "/var/lib/holm/registry";
}

uint32_t Store::openDefault(Store& store, StoreAccess access) {
    return open(defaultDirectory(), store, access);
}

uint32_t Store::open(const std::filesystem::path& directory, Store& store, StoreAccess access) {
    if (directory.empty()) {
        return kErrorInvalidParameter;
    }
    const bool create = access == StoreAccess::ReadWrite;
    if (create) {
        if (uint32_t error = makeStoreDirectory(directory)) {
            return error;
        }
    }
    auto state = std::make_shared<StoreState>();
    state->directory = directory;
    state->root.reset(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    if (!state->root || ::fstat(state->root.get(), &status) != 0) {
        return errorFromErrno(errno, kErrorCantRead);
    }
    if (!isTrusted(status)) {
        return kErrorAccessDenied;
    }
    state->device = status.st_dev;
    for (auto [name, fd] :
         {std::pair{kTempName, &state->temp}, std::pair{kMachineName, &state->machine},
          std::pair{kUsersName, &state->users}}) {
        if (uint32_t error = openStoreChild(state->root.get(), name, *fd, create)) {
            return error;
        }
    }
    if (create) {
        sweepTemporaryDirectory(*state);  // a reader changes nothing on disk
    }
    // Root keys get their lock file now, so that a watch on a root never sees
    // it appear. A reader without write access to the store goes without, and
    // a store opened for reading creates nothing.
    for (const UniqueFd* rootKey : {&state->machine, &state->users}) {
        if (create) {
            (void)io::openAt(rootKey->get(), kLockName, {.create = true, .mode = kFileMode});
        }
    }
    store.state_ = std::move(state);
    return kErrorSuccess;
}

namespace {

// Opens (or, with `create`, creates) the key directory of `path` under `root`.
uint32_t openKeyDirectory(const Store& store, Root root, std::u16string_view path, bool create,
                          UniqueFd& opened, bool* created) {
    if (!store.valid()) {
        return kErrorInvalidHandle;
    }
    int directory = -1;
    std::vector<std::u16string> components;
    if (uint32_t error = resolveRoot(*store.state(), root, path, directory, components)) {
        return error;
    }
    return walk(*store.state(), directory, components, create, opened, created);
}

}  // namespace

uint32_t Key::open(const Store& store, Root root, std::u16string_view path, Key& key,
                   uint32_t access) {
    UniqueFd opened;
    if (uint32_t error = openKeyDirectory(store, root, path, false, opened, nullptr)) {
        return error;
    }
    key.store_ = store;
    key.directory_ = std::move(opened);
    key.access_ = access;
    return kErrorSuccess;
}

uint32_t Key::create(const Store& store, Root root, std::u16string_view path, Key& key,
                     uint32_t access, bool* created) {
    UniqueFd opened;
    if (uint32_t error = openKeyDirectory(store, root, path, true, opened, created)) {
        return error;
    }
    key.store_ = store;
    key.directory_ = std::move(opened);
    key.access_ = access;
    return kErrorSuccess;
}

uint32_t Key::queryValue(std::u16string_view name, Value& value) const {
    if (!valid()) {
        return kErrorInvalidHandle;
    }
    if (!format::isValidValueName(name)) {
        return kErrorInvalidParameter;
    }
    std::vector<uint8_t> bytes;
    if (uint32_t error = readRecord(directory_.get(), format::diskName('v', name),
                                    format::kMaxValueFileSize, bytes)) {
        return error;
    }
    std::u16string stored;
    Value decoded;
    if (!format::decodeValueFile(bytes, stored, decoded) ||
        format::foldCase(stored) != format::foldCase(name)) {
        return kErrorBadDb;
    }
    value = std::move(decoded);
    return kErrorSuccess;
}

uint32_t Key::setValue(std::u16string_view name, const Value& value) const {
    if (!valid()) {
        return kErrorInvalidHandle;
    }
    if ((access_ & kKeySetValue) == 0) {
        return kErrorAccessDenied;
    }
    if (!format::isValidValueName(name) || !format::isValidValue(value)) {
        return kErrorInvalidParameter;
    }
    const StoreState& store = *store_.state();
    const TemporaryUse inUse(store);
    KeyLock lock;
    if (uint32_t error = lock.acquire(directory_.get())) {
        return error;
    }
    // Under the key's lock the temporary name, unique per key (its inode) and
    // value, is ours alone; a leftover of a writer that died is replaced.
    // Without the inode two keys' writers could share a name: fail instead.
    struct stat status {};
    if (::fstat(directory_.get(), &status) != 0) {
        return errorFromErrno(errno, kErrorCantWrite);
    }
    const std::string entry = format::diskName('v', name);
    // A value that exists keeps the spelling it was created with.
    const auto existing = readValueName(directory_.get(), entry);
    const std::u16string_view spelling =
        existing && format::foldCase(*existing) == format::foldCase(name) ? *existing : name;
    const std::string temporary = "v-" + std::to_string(status.st_ino) + "-" + entry;
    const Status written =
        replaceFileAtomically(store.temp.get(), temporary, directory_.get(), entry,
                              format::encodeValueFile(spelling, value), {.mode = kFileMode});
    if (!written) {
        // A directory standing where the value file should be.
        return written.error().errnoValue() == EISDIR ? kErrorBadDb : writeFailure(written.error());
    }
    return kErrorSuccess;
}

uint32_t Key::deleteValue(std::u16string_view name) const {
    if (!valid()) {
        return kErrorInvalidHandle;
    }
    if ((access_ & kKeySetValue) == 0) {
        return kErrorAccessDenied;
    }
    if (!format::isValidValueName(name)) {
        return kErrorInvalidParameter;
    }
    KeyLock lock;
    if (uint32_t error = lock.acquire(directory_.get())) {
        return error;
    }
    const std::string entry = format::diskName('v', name);
    if (::unlinkat(directory_.get(), entry.c_str(), 0) != 0) {
        return (errno == EISDIR || errno == EPERM) ? kErrorBadDb
                                                   : errorFromErrno(errno, kErrorCantWrite);
    }
    return kErrorSuccess;
}

uint32_t Key::enumerateSubkeys(std::vector<std::u16string>& names) const {
    if (!valid()) {
        return kErrorInvalidHandle;
    }
    std::vector<std::string> entries;
    if (uint32_t error = detail::listEntries(directory_.get(), detail::isSubkeyEntry, entries)) {
        return error;
    }
    names.clear();
    for (const auto& entry : entries) {
        UniqueFd subkey;
        std::u16string name;
        if (detail::openTrustedDirectory(directory_.get(), entry, subkey) == kErrorSuccess &&
            readKeyName(subkey.get(), entry, name) == kErrorSuccess) {
            names.push_back(std::move(name));
        }
    }
    sortByFoldedName(names);
    return kErrorSuccess;
}

uint32_t Key::enumerateValues(std::vector<std::u16string>& names) const {
    if (!valid()) {
        return kErrorInvalidHandle;
    }
    std::vector<std::string> entries;
    if (uint32_t error = detail::listEntries(directory_.get(), detail::isValueEntry, entries)) {
        return error;
    }
    names.clear();
    for (const auto& entry : entries) {
        auto name = readValueName(directory_.get(), entry);
        if (name && format::diskName('v', *name) == entry) {
            names.push_back(std::move(*name));
        }
    }
    sortByFoldedName(names);
    return kErrorSuccess;
}

uint32_t deleteKey(const Store& store, Root root, std::u16string_view path) {
    return deleteKeyImpl(store, root, path, false);
}

uint32_t deleteKeyTree(const Store& store, Root root, std::u16string_view path) {
    return deleteKeyImpl(store, root, path, true);
}

}  // namespace holm::platform::registry
