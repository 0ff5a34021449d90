// The one I/O discipline: every read, write, open and wait on a descriptor
// that the project makes goes through these functions.
//
// They retry what the system interrupted (EINTR), finish what it did only in
// part (short reads and writes), open close-on-exec without following a
// symbolic link at the last step, bound what they read, and take deadlines on
// the monotonic clock. No other file writes such a loop. The calls that read
// and write file data go through a replaceable table of system calls
// (system_calls.h), so that tests can make them fail or come up short.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform::io {

using Deadline = std::chrono::steady_clock::time_point;

// Access and creation of a file to open. Every open adds close-on-exec and,
// unless `followLink`, refuses a symbolic link at the last step of the name
// (ELOOP).
enum class Access { Read, Write, ReadWrite };
struct OpenOptions {
    Access access = Access::Read;
    bool create = false;       // create the file if missing, with `mode`
    bool exclusive = false;    // with create: fail (EEXIST) if it exists
    bool directory = false;    // only a directory opens (ENOTDIR otherwise)
    bool nonBlocking = false;  // never block on a FIFO or device at open and read
    bool append = false;       // every write goes to the end of the file
    bool followLink = false;   // a symbolic link at the last step is followed
    uint32_t mode = 0644;
};

// The directory descriptor that stands for the current directory, for the
// calls below that take a directory (the value of the system's AT_FDCWD).
inline constexpr int kCurrentDirectory = -100;

// Opens `name` relative to the directory `directoryFd` (or the current
// directory for kCurrentDirectory, or absolute).
Result<UniqueFd> openAt(int directoryFd, const std::string& name, const OpenOptions& options = {});
Result<UniqueFd> open(const std::string& path, const OpenOptions& options = {});

// Reads what is available, at most `buffer.size()` bytes: 0 at end of file.
Result<size_t> readSome(int fd, std::span<uint8_t> buffer);
// Fills `buffer` completely from `offset`; a file that ends first gives
// ENODATA.
Status readFullAt(int fd, std::span<uint8_t> buffer, uint64_t offset);
// Cuts the file open on `fd` to `size` bytes.
Status truncate(int fd, uint64_t size);
// Reads up to `buffer.size()` bytes at `offset`, less only at end of file.
Result<size_t> readAt(int fd, std::span<uint8_t> buffer, uint64_t offset);
// Writes all of `bytes`. A write that makes no progress gives EIO.
Status writeFull(int fd, std::span<const uint8_t> bytes);
Status writeFull(int fd, std::string_view text);
// Flushes the file's data and metadata to the device.
Status sync(int fd);

// Sends all of `data` on the connected socket `fd`. A peer that has gone is
// an error, never a signal; a send that makes no progress gives EIO.
Status sendFull(int fd, std::string_view data);
// Connects the socket `fd` to `address`, a socket address of `size` bytes.
Status connect(int fd, const void* address, size_t size);
// Sends `data` as one datagram on `fd` to `address` (a socket address of
// `size` bytes): the number of bytes sent.
Result<size_t> sendTo(int fd, std::string_view data, const void* address, size_t size);
// A small extended attribute of the open file ("user." names): set, read
// (ENODATA when it is missing; ENOTSUP where the file system keeps none) and
// removed (a missing one is no error).
Status setAttribute(int fd, const char* name, std::string_view value);
Result<std::string> getAttribute(int fd, const char* name);
Status removeAttribute(int fd, const char* name);
// Creates the directory `name` in `directoryFd` (or relative to the current
// directory for kCurrentDirectory, or absolute) with `mode`; an existing entry of that
// name gives EEXIST.
Status makeDirectoryAt(int directoryFd, const std::string& name, uint32_t mode);
// Removes the entry `name` of `directoryFd`: a file (or link), or an empty
// directory. A missing entry gives ENOENT.
enum class Remove { File, Directory };
Status removeAt(int directoryFd, const std::string& name, Remove what = Remove::File);
// Renames within or across directories of one file system. With
// `noReplace`, an existing target gives EEXIST.
Status renameAt(int fromDirectory, const std::string& from, int toDirectory, const std::string& to,
                bool noReplace = false);

// Takes an exclusive or a shared advisory lock (flock) on the open file,
// waiting as long as another holder keeps a conflicting one.
Status lockExclusive(int fd);
Status lockShared(int fd);
// The same without waiting: true when taken, false when another open file
// holds a conflicting lock.
Result<bool> tryLockExclusive(int fd);
Result<bool> tryLockShared(int fd);
// An exclusive lock, asked for again at short intervals until `deadline`:
// true when taken, false when another holder kept it the whole time.
// Writers use it so that a clash ends in a refusal, never in a hang.
Result<bool> lockExclusiveBefore(int fd, Deadline deadline);
// How long the writers of INI, text and configuration files wait for
// another writer of the same file before they give up.
inline constexpr std::chrono::milliseconds kWriterLockWait{2000};

// The whole content of a small file read from the descriptor's current
// position, at most `limit` bytes; a longer file gives EFBIG rather than a
// truncated content.
Result<std::string> readSmallFile(int fd, size_t limit);
// The whole content of the file behind `fd`, read from its start (the
// descriptor's position is neither used nor moved), at most `limit` bytes: a
// longer file gives EFBIG, and no more than limit + 1 bytes are ever read,
// whatever the file claims. `sizeHint` (the size the caller saw) only sizes
// the first buffer; a file that grew or shrank since is still read whole.
Result<std::vector<std::byte>> readWholeFile(int fd, size_t limit, uint64_t sizeHint = 0);
// Opens a small regular file (no link followed at the last step, no hang on
// a FIFO: anything but a regular file gives EINVAL) and reads it whole.
Result<std::string> readSmallFile(const std::string& path, size_t limit);

// Reaps the child process `pid`, waiting for it to end; its wait status.
Result<int> reapChild(int pid);

// Waits until `fd` is readable (true) or `deadline` passes (false). A
// descriptor at its end or in error counts as readable: a read tells which.
Result<bool> waitReadable(int fd, Deadline deadline);
// Waits until one of `fds` is readable (true; `ready` marks which) or
// `deadline` passes (false). `ready` has one entry per descriptor.
Result<bool> waitAnyReadable(std::span<const int> fds, std::span<bool> ready, Deadline deadline);
// No deadline: wait as long as it takes.
inline constexpr Deadline kNoDeadline = Deadline::max();
// The deadline `timeout` from now (a negative timeout is now).
Deadline deadlineIn(std::chrono::milliseconds timeout);

// Waits on the epoll instance `epollFd` until a member is ready or
// `deadline` passes, and writes the keys (the 64-bit data each member was
// added with) of the ready members to `keys`: how many (0 at the deadline).
Result<size_t> waitEpoll(int epollFd, std::span<uint64_t> keys, Deadline deadline = kNoDeadline);

}  // namespace holm::platform::io
