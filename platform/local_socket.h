// A program's local control channel, with the credentials of the process
// at the other end, and datagrams to a socket path (the journal's native
// protocol).
//
// Linux: stream sockets in the file system (AF_UNIX); the socket file's
// mode and the directory holding it decide who reaches it.
//
// Windows: named pipes (\\.\pipe\...), in message mode, local clients
// only. A listener's name is refused while another process serves it; the
// pipe is owned by the process's user, and its access list gives the
// system, the Administrators and the process's own user every right and, when `mode` lets others
// write, everyone the right to connect (never to serve instances of the name). A client connects
// for identification only and reaches only a listener whose pipe is owned by the system, the
// Administrators or its own user: any account can make a pipe name, so the owner stands in for the
// protected directory of Linux. sendDatagram is not supported.
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
//
// On Windows the user is judged from the token of the connection's client
// (its security context as the pipe recorded it), in the terms of
// effectiveUserId(), which is 0 there for the process's own user: uid is 0
// for the local system account, for a token whose Administrators group is
// enabled (an elevated administrator) and for the listener's own user;
// anyone else gets the relative id of the user's SID (never 0). gid carries
// the same number. Seen from a client, the listener's uid is 0 when its
// pipe has a trusted owner (above), else a number no user has.
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

// Where the program's local channel `name` is: on Linux the socket
// `<runtime directory>/<name>`; on Windows the pipe `\\.\pipe\holm-<name>`,
// with `-<digest of the directory>` added when HOLM_RUNTIME_DIR names a
// runtime directory of its own, so that hosts run with different runtime
// directories do not meet.
std::string localChannelPath(std::string_view name);
// The directory that must exist for the channel to be made: the runtime
// directory on Linux, empty on Windows (pipes have a namespace of their own).
std::string localChannelDirectory();

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
