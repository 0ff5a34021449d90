#include "platform/local_socket.h"

#include "platform/win/unsupported.h"

namespace holm::platform {

// Local control sockets are not provided by this backend yet (see
// unsupported.h).
Result<LocalListener> LocalListener::listen(const std::string&, uint32_t) {
    return win::notSupported();
}

LocalListener::~LocalListener() = default;

LocalListener& LocalListener::operator=(LocalListener&& other) noexcept {
    fd_ = std::move(other.fd_);
    path_ = std::move(other.path_);
    device_ = other.device_;
    inode_ = other.inode_;
    return *this;
}

void LocalListener::removeFile() noexcept {}

UniqueFd LocalListener::accept() {
    return {};
}

Result<UniqueFd> connectLocal(const std::string&) {
    return win::notSupported();
}

Result<PeerCredentials> peerCredentials(int) {
    return win::notSupported();
}

Status sendFull(int, std::string_view) {
    return win::notSupported();
}

Status setSocketTimeouts(int, std::chrono::milliseconds) {
    return win::notSupported();
}

Status shutdownSending(int) {
    return win::notSupported();
}

Status sendDatagram(const std::string&, std::string_view) {
    return win::notSupported();
}

}  // namespace holm::platform
