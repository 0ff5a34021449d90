#include "platform/local_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/io.h"
#include "platform/named_event.h"

namespace holm::platform {

namespace {

// The address of `path`; false when it does not fit.
bool localAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

Result<UniqueFd> localSocket(int type) {
    UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return lastSystemError();
    }
    return fd;
}

// Whether a process still listens at `path`.
bool listenedOn(const std::string& path) {
    return connectLocal(path).ok();
}

}  // namespace

std::string localChannelPath(std::string_view name) {
    return runtimeDirectory() + "/" + std::string(name);
}

std::string localChannelDirectory() {
    return runtimeDirectory();
}

Result<LocalListener> LocalListener::listen(const std::string& path, uint32_t mode) {
    sockaddr_un address;
    if (!localAddress(path, address)) {
        return Error::fromErrno(ENAMETOOLONG);
    }
    auto made = localSocket(SOCK_STREAM | SOCK_NONBLOCK);
    if (!made) {
        return made.error();
    }
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            return Error::fromErrno(EEXIST).because("a file that is not a socket is in the way");
        }
        if (listenedOn(path)) {
            return Error::fromErrno(EADDRINUSE).because("another process listens there");
        }
        (void)io::removeAt(AT_FDCWD, path);  // stale: a failure shows at bind
    }
    // The file is made with no access and given its mode afterwards, so that
    // no connection can come in under a wider mode meanwhile.
    const mode_t previous = ::umask(0777);
    const int bound =
        ::bind(made->get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int bindError = errno;
    ::umask(previous);
    if (bound != 0) {
        return Error::fromErrno(bindError);
    }
    LocalListener listener;
    listener.fd_ = std::move(*made);
    listener.path_ = path;
    struct stat own {};
    if (::stat(path.c_str(), &own) == 0) {
        listener.device_ = own.st_dev;
        listener.inode_ = own.st_ino;
    }
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0 ||
        ::listen(listener.fd_.get(), 16) != 0) {
        return lastSystemError();  // the listener removes the file
    }
    return listener;
}

LocalListener::~LocalListener() {
    removeFile();
}

LocalListener& LocalListener::operator=(LocalListener&& other) noexcept {
    if (this != &other) {
        removeFile();
        fd_ = std::move(other.fd_);
        path_ = std::exchange(other.path_, {});
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

// Another process may have replaced the file since: only this listener's
// own file goes.
void LocalListener::removeFile() noexcept {
    if (!fd_.valid() || path_.empty()) {
        return;
    }
    struct stat current {};
    if (::lstat(path_.c_str(), &current) == 0 && current.st_dev == device_ &&
        current.st_ino == inode_) {
        (void)io::removeAt(AT_FDCWD, path_);
    }
    path_.clear();
}

UniqueFd LocalListener::accept() {
    return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

Result<UniqueFd> connectLocal(const std::string& path) {
    sockaddr_un address;
    if (!localAddress(path, address)) {
        return Error::fromErrno(ENAMETOOLONG);
    }
    auto made = localSocket(SOCK_STREAM);
    if (!made) {
        return made.error();
    }
    if (auto connected = io::connect(made->get(), &address, sizeof(address)); !connected) {
        return connected.error();
    }
    return std::move(*made);
}

Result<PeerCredentials> peerCredentials(int fd) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return lastSystemError();
    }
    return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

Status sendFull(int fd, std::string_view data) {
    return io::sendFull(fd, data);
}

Status setSocketTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0) {
        return lastSystemError();
    }
    return {};
}

Status shutdownSending(int fd) {
    if (::shutdown(fd, SHUT_WR) != 0) {
        return lastSystemError();
    }
    return {};
}

Status sendDatagram(const std::string& path, std::string_view data) {
    sockaddr_un address;
    if (!localAddress(path, address)) {
        return Error::fromErrno(ENAMETOOLONG);
    }
    auto made = localSocket(SOCK_DGRAM);
    if (!made) {
        return made.error();
    }
    auto sent = io::sendTo(made->get(), data, &address, sizeof(address));
    if (!sent) {
        return sent.error();
    }
    if (*sent != data.size()) {
        return Error::fromErrno(EMSGSIZE);
    }
    return {};
}

}  // namespace holm::platform
