#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace holm::platform {

Status fillRandom(std::span<uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Error::fromErrno(errno);
        }
        done += static_cast<size_t>(got);
    }
    return {};
}

}  // namespace holm::platform
