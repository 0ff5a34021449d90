// The parts of the I/O discipline that only build on the backend's reads,
// writes and locks, the same on every system.
#include "platform/io.h"

#include <algorithm>
#include <cerrno>
#include <thread>

namespace holm::platform::io {

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

Deadline deadlineIn(std::chrono::milliseconds timeout) {
    return std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
}

}  // namespace holm::platform::io
