// The parts of the I/O discipline that are the same on every system: the
// system-call table in force, and everything built on its calls and on the
// backend's locks.
#include "platform/io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/io_backend.h"
#include "platform/io_retry.h"
#include "platform/system_calls.h"

namespace holm::platform::io {

namespace {

// The table in force; the system's own until a test puts another in force.
std::atomic<const SystemCalls*>& inForce() {
    static std::atomic<const SystemCalls*> table{&realSystemCalls()};
    return table;
}

}  // namespace

const SystemCalls& systemCalls() noexcept {
    return *inForce().load(std::memory_order_acquire);
}

ScopedSystemCalls::ScopedSystemCalls(const SystemCalls& calls) noexcept
    : previous_(inForce().exchange(&calls, std::memory_order_acq_rel)) {}

ScopedSystemCalls::~ScopedSystemCalls() {
    inForce().store(previous_, std::memory_order_release);
}

Result<UniqueFd> openAt(int directoryFd, const std::string& name, const OpenOptions& options) {
    const int flags = backend::openFlags(options);
    const int fd = retryInterrupted([&] {
        return systemCalls().openat(directoryFd, name.c_str(), flags,
                                    static_cast<mode_t>(options.mode));
    });
    if (fd < 0) {
        return lastSystemError();
    }
    return UniqueFd(fd);
}

Result<UniqueFd> open(const std::string& path, const OpenOptions& options) {
    return openAt(kCurrentDirectory, path, options);
}

Result<size_t> readSome(int fd, std::span<uint8_t> buffer) {
    const ssize_t got =
        retryInterrupted([&] { return systemCalls().read(fd, buffer.data(), buffer.size()); });
    if (got < 0) {
        return lastSystemError();
    }
    return static_cast<size_t>(got);
}

Result<size_t> readAt(int fd, std::span<uint8_t> buffer, uint64_t offset) {
    size_t done = 0;
    while (done < buffer.size()) {
        const auto position = static_cast<FileOffset>(offset + done);
        const ssize_t got = retryInterrupted([&] {
            return systemCalls().pread(fd, buffer.data() + done, buffer.size() - done, position);
        });
        if (got < 0) {
            return lastSystemError();
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return done;
}

Status writeFull(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t put =
            retryInterrupted([&] { return systemCalls().write(fd, bytes.data(), bytes.size()); });
        if (put < 0) {
            return lastSystemError();
        }
        if (put == 0) {
            return Error::fromErrno(EIO);  // no progress: never loop forever
        }
        bytes = bytes.subspan(static_cast<size_t>(put));
    }
    return {};
}

Status sync(int fd) {
    if (retryInterrupted([&] { return systemCalls().fsync(fd); }) != 0) {
        return lastSystemError();
    }
    return {};
}

Status makeDirectoryAt(int directoryFd, const std::string& name, uint32_t mode) {
    if (retryInterrupted([&] {
            return systemCalls().mkdirat(directoryFd, name.c_str(), static_cast<mode_t>(mode));
        }) != 0) {
        return lastSystemError();
    }
    return {};
}

Status removeAt(int directoryFd, const std::string& name, Remove what) {
    const int flags = what == Remove::Directory ? kRemoveDirectory : 0;
    if (retryInterrupted(
            [&] { return systemCalls().unlinkat(directoryFd, name.c_str(), flags); }) != 0) {
        return lastSystemError();
    }
    return {};
}

Status renameAt(int fromDirectory, const std::string& from, int toDirectory, const std::string& to,
                bool noReplace) {
    const unsigned flags = noReplace ? kRenameNoReplace : 0;
    if (retryInterrupted([&] {
            return systemCalls().renameat2(fromDirectory, from.c_str(), toDirectory, to.c_str(),
                                           flags);
        }) != 0) {
        return lastSystemError();
    }
    return {};
}

Status readFullAt(int fd, std::span<uint8_t> buffer, uint64_t offset) {
    auto got = readAt(fd, buffer, offset);
    if (!got) {
        return got.error();
    }
    return *got == buffer.size() ? Status() : Error::fromErrno(ENODATA);
}

Status writeFull(int fd, std::string_view text) {
    return writeFull(fd, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Status lockExclusive(int fd) {
    return backend::lockFile(fd, backend::LockKind::Exclusive);
}

Status lockShared(int fd) {
    return backend::lockFile(fd, backend::LockKind::Shared);
}

Result<bool> tryLockExclusive(int fd) {
    return backend::tryLockFile(fd, backend::LockKind::Exclusive);
}

Result<bool> tryLockShared(int fd) {
    return backend::tryLockFile(fd, backend::LockKind::Shared);
}

Result<bool> lockExclusiveBefore(int fd, Deadline deadline) {
    // The lock has no timed form: the lock is asked for again, more slowly the
    // longer it is held, up to the deadline.
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        auto taken = tryLockExclusive(fd);
        if (!taken || *taken) {
            return taken;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

Result<std::string> readSmallFile(int fd, size_t limit) {
    std::string content;
    uint8_t buffer[4096];
    for (;;) {
        auto got = readSome(fd, buffer);
        if (!got) {
            return got.error();
        }
        if (*got == 0) {
            return content;
        }
        if (*got > limit - content.size()) {
            return Error::fromErrno(EFBIG);
        }
        content.append(reinterpret_cast<const char*>(buffer), *got);
    }
}

Result<std::string> readSmallFile(const std::string& path, size_t limit) {
    // Non-blocking, so that a FIFO put in place of the file cannot stall the
    // open; it is then refused as not a regular file.
    auto file = open(path, {.nonBlocking = true});
    if (!file) {
        return file.error();
    }
    if (Status regular = backend::requireRegularFile(file->get()); !regular) {
        return regular.error();
    }
    return readSmallFile(file->get(), limit);
}

Result<std::vector<std::byte>> readWholeFile(int fd, size_t limit, uint64_t sizeHint) {
    constexpr size_t kMinimumGrowth = 64 * 1024;
    // One byte beyond the expected size shows a file that has grown.
    std::vector<std::byte> content(static_cast<size_t>(std::min<uint64_t>(sizeHint, limit)) + 1);
    size_t filled = 0;
    for (;;) {
        if (filled == content.size()) {
            if (filled > limit) {
                return Error::fromErrno(EFBIG);
            }
            content.resize(std::min(limit + 1, std::max(filled * 2, kMinimumGrowth)));
        }
        auto got = readAt(
            fd,
            std::span(reinterpret_cast<uint8_t*>(content.data()) + filled, content.size() - filled),
            filled);
        if (!got) {
            return got.error();
        }
        filled += *got;
        if (filled < content.size()) {
            break;  // readAt stops short only at the end of the file
        }
    }
    content.resize(filled);
    return content;
}

Result<bool> waitReadable(int fd, Deadline deadline) {
    bool ready = false;
    return waitAnyReadable(std::span(&fd, 1), std::span(&ready, 1), deadline);
}

Deadline deadlineIn(std::chrono::milliseconds timeout) {
    return std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
}

}  // namespace holm::platform::io
