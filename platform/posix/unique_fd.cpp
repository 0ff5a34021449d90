#include "platform/unique_handle.h"

#include <unistd.h>

namespace holm::platform {

// close() is not retried on EINTR: on Linux the descriptor is released even
// when the call is interrupted, and retrying could close a descriptor that
// another thread has just been given.
void FdTraits::close(int fd) noexcept {
    ::close(fd);
}

}  // namespace holm::platform
