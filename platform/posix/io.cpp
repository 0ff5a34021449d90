#include "platform/io.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <limits>
#include <thread>
#include <vector>

#include "platform/io_backend.h"
#include "platform/io_retry.h"
#include "platform/system_calls.h"

namespace holm::platform::io {

namespace {

int realOpenat(int directory, const char* name, int flags, mode_t mode) {
    return ::openat(directory, name, flags, mode);
}

int realRenameat2(int fromDirectory, const char* from, int toDirectory, const char* to,
                  unsigned flags) {
    return ::renameat2(fromDirectory, from, toDirectory, to, flags);
}

static_assert(kCurrentDirectory == AT_FDCWD);

constexpr SystemCalls kRealSystemCalls{realOpenat, ::read,        ::pread,   ::write,
                                       ::fsync,    realRenameat2, ::mkdirat, ::unlinkat};

// poll takes whole milliseconds as an int: round up, so a wait never ends
// before its deadline, and cap what an int cannot hold (the caller's loop
// waits again).
int pollTimeout(Deadline deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

}  // namespace

const SystemCalls& realSystemCalls() noexcept {
    return kRealSystemCalls;
}

namespace backend {

int openFlags(const OpenOptions& options) {
    int flags = O_CLOEXEC | O_NOCTTY | (options.followLink ? 0 : O_NOFOLLOW);
    switch (options.access) {
        case Access::Read:
            flags |= O_RDONLY;
            break;
        case Access::Write:
            flags |= O_WRONLY;
            break;
        case Access::ReadWrite:
            flags |= O_RDWR;
            break;
    }
    flags |= options.create ? O_CREAT : 0;
    flags |= options.create && options.exclusive ? O_EXCL : 0;
    flags |= options.directory ? O_DIRECTORY : 0;
    flags |= options.nonBlocking ? O_NONBLOCK : 0;
    flags |= options.append ? O_APPEND : 0;
    return flags;
}

Status requireRegularFile(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return lastSystemError();
    }
    return S_ISREG(status.st_mode) ? Status() : Error::fromErrno(EINVAL);
}

Status lockFile(int fd, LockKind kind) {
    const int operation = kind == LockKind::Exclusive ? LOCK_EX : LOCK_SH;
    if (retryInterrupted([&] { return ::flock(fd, operation); }) != 0) {
        return lastSystemError();
    }
    return {};
}

Result<bool> tryLockFile(int fd, LockKind kind) {
    const int operation = (kind == LockKind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (retryInterrupted([&] { return ::flock(fd, operation); }) == 0) {
        return true;
    }
    if (errno == EWOULDBLOCK) {
        return false;
    }
    return lastSystemError();
}

}  // namespace backend

Status sendFull(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent =
            retryInterrupted([&] { return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL); });
        if (sent < 0) {
            return lastSystemError();
        }
        if (sent == 0) {
            return Error::fromErrno(EIO);
        }
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return {};
}

Status connect(int fd, const void* address, size_t size) {
    if (retryInterrupted([&] {
            return ::connect(fd, static_cast<const sockaddr*>(address),
                             static_cast<socklen_t>(size));
        }) != 0) {
        return lastSystemError();
    }
    return {};
}

Result<size_t> sendTo(int fd, std::string_view data, const void* address, size_t size) {
    const ssize_t sent = retryInterrupted([&] {
        return ::sendto(fd, data.data(), data.size(), MSG_NOSIGNAL,
                        static_cast<const sockaddr*>(address), static_cast<socklen_t>(size));
    });
    if (sent < 0) {
        return lastSystemError();
    }
    return static_cast<size_t>(sent);
}

Status setAttribute(int fd, const char* name, std::string_view value) {
    if (retryInterrupted([&] { return ::fsetxattr(fd, name, value.data(), value.size(), 0); }) !=
        0) {
        return lastSystemError();
    }
    return {};
}

Result<std::string> getAttribute(int fd, const char* name) {
    char buffer[256];
    const ssize_t got =
        retryInterrupted([&] { return ::fgetxattr(fd, name, buffer, sizeof buffer); });
    if (got < 0) {
        return lastSystemError();
    }
    return std::string(buffer, static_cast<size_t>(got));
}

Status removeAttribute(int fd, const char* name) {
    if (retryInterrupted([&] { return ::fremovexattr(fd, name); }) != 0 && errno != ENODATA) {
        return lastSystemError();
    }
    return {};
}

Status truncate(int fd, uint64_t size) {
    if (size > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        return Error::fromErrno(EINVAL);
    }
    if (retryInterrupted([&] { return ::ftruncate(fd, static_cast<off_t>(size)); }) != 0) {
        return lastSystemError();
    }
    return {};
}

Result<int> reapChild(int pid) {
    int status = 0;
    if (retryInterrupted([&] { return ::waitpid(pid, &status, 0); }) < 0) {
        return lastSystemError();
    }
    return status;
}

Result<bool> waitAnyReadable(std::span<const int> fds, std::span<bool> ready, Deadline deadline) {
    std::vector<pollfd> entries;
    for (int fd : fds) {
        entries.push_back({fd, POLLIN, 0});
    }
    for (;;) {
        const int count = ::poll(entries.data(), entries.size(), pollTimeout(deadline));
        if (count < 0 && errno != EINTR) {
            return lastSystemError();
        }
        for (size_t i = 0; count > 0 && i < entries.size(); ++i) {
            if (entries[i].revents & POLLNVAL) {
                return Error::fromErrno(EBADF);
            }
            // Readable, at end, or in error: a read tells which.
            ready[i] = entries[i].revents != 0;
        }
        if (count > 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
}

Result<size_t> waitEpoll(int epollFd, std::span<uint64_t> keys, Deadline deadline) {
    constexpr size_t kBatch = 64;
    epoll_event events[kBatch];
    const int capacity = static_cast<int>(std::min(keys.size(), kBatch));
    for (;;) {
        const int timeout = deadline == kNoDeadline ? -1 : pollTimeout(deadline);
        const int count = ::epoll_wait(epollFd, events, capacity, timeout);
        if (count < 0 && errno != EINTR) {
            return lastSystemError();
        }
        for (int i = 0; i < count; ++i) {
            keys[static_cast<size_t>(i)] = events[i].data.u64;
        }
        if (count > 0) {
            return static_cast<size_t>(count);
        }
        if (count == 0 && std::chrono::steady_clock::now() >= deadline) {
            return size_t{0};
        }
    }
}

}  // namespace holm::platform::io
