#include "platform/named_event.h"

#include <cerrno>

#include "platform/win/unsupported.h"

namespace holm::platform {

// Cross-process named events are not provided by this backend yet (see
// unsupported.h): a watch never opens and a set reaches nobody.
NamedEventWatch::~NamedEventWatch() = default;

NamedEventWatch& NamedEventWatch::operator=(NamedEventWatch&& other) noexcept {
    fd_ = std::move(other.fd_);
    path_ = std::move(other.path_);
    return *this;
}

void NamedEventWatch::remove() {}

Result<NamedEventWatch> NamedEventWatch::open(const std::string&, const std::string&) {
    return win::notSupported();
}

void drainNamedEvent(int) {}

NamedEventSet setNamedEvent(const std::string&, const std::string&) {
    errno = ENOTSUP;
    return NamedEventSet::Failed;
}

}  // namespace holm::platform
