#include "platform/random.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace holm::platform {

// getentropy fills up to 256 bytes a call, all or nothing, and takes care
// of interrupted waits itself.
Status fillRandom(std::span<uint8_t> bytes) {
    constexpr size_t kMostPerCall = 256;
    for (size_t done = 0; done < bytes.size();) {
        const size_t length = std::min(kMostPerCall, bytes.size() - done);
        if (::getentropy(bytes.data() + done, length) != 0) {
            return Error::fromErrno(errno);
        }
        done += length;
    }
    return {};
}

}  // namespace holm::platform
