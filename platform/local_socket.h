// Stream sockets in the file system (AF_UNIX) for a program's local control
// channel, with the credentials of the process at the other end, and
// datagrams to a socket path (the journal's native protocol).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

// The process at the other end of a connection, as the kernel recorded it
// when the connection was made.
struct PeerCredentials {
    int pid = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
};

class LocalListener {
  public:
    LocalListener() = default;
    // Listens at `path` with mode `mode`. A socket file there that nobody
    // listens on any more (left by a process that ended) is replaced; one a
    // process still listens on gives EADDRINUSE, and any other file EEXIST.
    static Result<LocalListener> listen(const std::string& path, uint32_t mode);
    // Removes the socket file, if it is still the one this listener made.
    ~LocalListener();
    LocalListener(LocalListener&&) noexcept = default;
    LocalListener& operator=(LocalListener&&) noexcept;
    LocalListener(const LocalListener&) = delete;
    LocalListener& operator=(const LocalListener&) = delete;

    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    // A connection waiting to be accepted, or an invalid descriptor when
    // there is none (the listener never blocks).
    UniqueFd accept();

  private:
    void removeFile() noexcept;

    UniqueFd fd_;
    std::string path_;
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
};

// Connects to the stream socket at `path`.
Result<UniqueFd> connectLocal(const std::string& path);
// The credentials of the other end of the connected socket `fd`.
Result<PeerCredentials> peerCredentials(int fd);
// Sends all of `data` on the connected socket `fd`. A closed other end is
// an error (EPIPE), never a signal that ends the process.
Status sendFull(int fd, std::string_view data);
// Limits how long one send or receive on `fd` may block.
Status setSocketTimeouts(int fd, std::chrono::milliseconds timeout);
// Ends the sending direction of the connection: the other end reads the end
// of the stream.
Status shutdownSending(int fd);
// Sends `data` as one datagram to the socket at `path`.
Status sendDatagram(const std::string& path, std::string_view data);

}  // namespace holm::platform
