#include "platform/named_event.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "common/utf16.h"
#include "platform/io.h"

namespace holm::platform {

namespace {

bool trustedOwner(const struct stat& info) {
    return info.st_uid == ::geteuid() || info.st_uid == 0;
}

constexpr size_t kFifoCapacity = 64 * 1024;

UniqueFd openDirectory(const std::string& directory, bool create) {
    bool created = false;
    if (create) {
        const Status made = io::makeDirectoryAt(AT_FDCWD, directory, 0755);
        if (!made && made.error().errnoValue() != EEXIST) {
            errno = made.error().errnoValue();
            return UniqueFd();
        }
        created = made.ok();
    }
    io::OpenOptions options;
    options.directory = true;
    Result<UniqueFd> fd = io::open(directory, options);
    if (!fd) {
        errno = fd.error().errnoValue();
        return UniqueFd();
    }
    struct stat info {};
    if (::fstat(fd->get(), &info) != 0) {
        return UniqueFd();
    }
    if (!trustedOwner(info) || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        errno = EPERM;
        return UniqueFd();
    }
    // Setters of every user list and search it, whatever the umask left.
    if (created && ::fchmod(fd->get(), 0755) != 0) {
        return UniqueFd();
    }
    return std::move(fd.value());
}

// The entry names of a directory; empty (errno set) when it cannot be read.
std::vector<std::string> listEntries(int directoryFd) {
    std::vector<std::string> names;
    io::OpenOptions options;
    options.directory = true;
    Result<UniqueFd> fd = io::openAt(directoryFd, ".", options);
    if (!fd) {
        errno = fd.error().errnoValue();
        return names;
    }
    DIR* listing = ::fdopendir(fd->get());
    if (listing == nullptr) {
        return names;
    }
    (void)fd->release();  // the listing owns it now
    while (const dirent* entry = ::readdir(listing)) {
        names.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    return names;
}

bool allDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The process id of "<prefix><pid>.<n>", or 0 when the name is not of that
// form.
pid_t ownerOf(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix)) {
        return 0;
    }
    name.remove_prefix(prefix.size());
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos || !allDigits(name.substr(0, dot)) ||
        !allDigits(name.substr(dot + 1)) || dot > 9) {
        return 0;
    }
    return static_cast<pid_t>(std::stol(std::string(name.substr(0, dot))));
}

// A watcher's FIFO: "e." or "h.", a canonical name, ".<pid>.<n>".
bool isWatcherFifo(std::string_view name) {
    if (!name.starts_with("e.") && !name.starts_with("h.")) {
        return false;
    }
    const size_t dot = name.find('.', 2);
    return dot != std::string_view::npos && ownerOf(name.substr(dot), ".") != 0;
}

bool processGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

bool isTrustedFifo(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    if (!S_ISFIFO(info.st_mode) || !trustedOwner(info)) {
        errno = EPERM;
        return false;
    }
    return true;
}

UniqueFd openFifo(int directoryFd, const std::string& name, io::Access access) {
    io::OpenOptions options;
    options.access = access;
    options.nonBlocking = true;
    Result<UniqueFd> fd = io::openAt(directoryFd, name, options);
    if (!fd) {
        errno = fd.error().errnoValue();
        return UniqueFd();
    }
    return std::move(fd.value());
}

}  // namespace

namespace {

// Removes the FIFOs of watchers that are gone: final names without a reader,
// temporary names of processes that ended. Only the directory's owner may.
void sweep(int directoryFd) {
    for (const std::string& name : listEntries(directoryFd)) {
        if (isWatcherFifo(name)) {
            UniqueFd fd = openFifo(directoryFd, name, io::Access::Write);
            if (!fd.valid() && errno == ENXIO) {
                (void)io::removeAt(directoryFd, name);
            }
        } else if (const pid_t pid = ownerOf(name, "t."); pid != 0 && processGone(pid)) {
            (void)io::removeAt(directoryFd, name);
        }
    }
}

// The whole directory is swept once per process: watchers that died before
// this one started. Later leftovers are removed by the setters that meet
// them, and by the next process's sweep.
void sweepOnce(const std::string& directory, int directoryFd) {
    static std::mutex lock;
    static std::set<std::string> swept;
    {
        std::lock_guard guard(lock);
        if (!swept.insert(directory).second) {
            return;
        }
    }
    const int saved = errno;
    sweep(directoryFd);
    errno = saved;
}

}  // namespace

NamedEventWatch::~NamedEventWatch() {
    remove();
}

NamedEventWatch& NamedEventWatch::operator=(NamedEventWatch&& other) noexcept {
    if (this != &other) {
        remove();
        fd_ = std::move(other.fd_);
        path_ = std::move(other.path_);
    }
    return *this;
}

// Unlinked before it is closed: a setter never finds the final name of a
// live watcher without its reader.
void NamedEventWatch::remove() {
    if (fd_.valid()) {
        (void)io::removeAt(AT_FDCWD, path_);
    }
    fd_.reset();
}

Result<NamedEventWatch> NamedEventWatch::open(const std::string& directory,
                                              const std::string& fileName) {
    static std::atomic<uint64_t> serial{0};
    const UniqueFd directoryFd = openDirectory(directory, true);
    if (!directoryFd.valid()) {
        return lastSystemError();
    }
    sweepOnce(directory, directoryFd.get());
    const std::string suffix = "." + std::to_string(::getpid()) + "." + std::to_string(serial++);
    const std::string temporary = "t" + suffix;
    // A temporary name of this process id that exists was left by a gone
    // process that had the same id.
    if (::mkfifoat(directoryFd.get(), temporary.c_str(), 0600) != 0 &&
        (errno != EEXIST || !io::removeAt(directoryFd.get(), temporary) ||
         ::mkfifoat(directoryFd.get(), temporary.c_str(), 0600) != 0)) {
        return lastSystemError();
    }
    UniqueFd fd = openFifo(directoryFd.get(), temporary, io::Access::ReadWrite);
    // Anyone may write into it, only its owner reads.
    if (!fd.valid() || !isTrustedFifo(fd.get()) || ::fchmod(fd.get(), 0622) != 0 ||
        !io::renameAt(directoryFd.get(), temporary, directoryFd.get(), fileName + suffix)) {
        const Error error = lastSystemError();
        (void)io::removeAt(directoryFd.get(), temporary);
        return error;
    }
    NamedEventWatch watch;
    watch.fd_ = std::move(fd);
    watch.path_ = directory + "/" + fileName + suffix;
    return watch;
}

void drainNamedEvent(int watchFd) {
    uint8_t buffer[4096];
    // Ends at EAGAIN: the FIFO is empty (it never reaches an end, since the
    // watcher holds it open for writing too), or after one FIFO's worth,
    // so that a flood of sets cannot hold the watcher here.
    for (size_t read = 0; read < kFifoCapacity;) {
        const size_t got = io::readSome(watchFd, buffer).valueOr(0);
        if (got == 0) {
            break;
        }
        read += got;
    }
}

NamedEventSet setNamedEvent(const std::string& directory, const std::string& fileName) {
    UniqueFd directoryFd = openDirectory(directory, false);
    if (!directoryFd.valid()) {
        return errno == ENOENT ? NamedEventSet::NoWatcher : NamedEventSet::Failed;
    }
    errno = 0;
    const std::vector<std::string> names = listEntries(directoryFd.get());
    if (names.empty() && errno != 0) {
        return NamedEventSet::Failed;
    }
    const std::string prefix = fileName + ".";
    size_t set = 0;
    int failure = 0;
    for (const std::string& name : names) {
        if (ownerOf(name, prefix) == 0) {
            continue;
        }
        UniqueFd fd = openFifo(directoryFd.get(), name, io::Access::Write);
        if (!fd.valid()) {
            if (errno == ENXIO) {
                // No reader: its watcher is gone. Removed where this
                // process may (the directory's owner).
                (void)io::removeAt(directoryFd.get(), name);
            } else if (errno != ENOENT) {
                failure = errno;
            }
            continue;
        }
        if (!isTrustedFifo(fd.get())) {
            failure = EPERM;
            continue;
        }
        const uint8_t one[1] = {1};
        const Status written = io::writeFull(fd.get(), one);
        // A full FIFO (EAGAIN) holds wake-ups its watcher has not drained
        // yet: the event is set already.
        if (written.ok() || written.error().errnoValue() == EAGAIN) {
            ++set;
        } else {
            failure = written.error().errnoValue();
        }
    }
    if (set > 0) {
        return NamedEventSet::Set;
    }
    if (failure != 0) {
        errno = failure;
        return NamedEventSet::Failed;
    }
    return NamedEventSet::NoWatcher;
}

}  // namespace holm::platform
