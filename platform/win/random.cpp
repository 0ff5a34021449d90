#include "platform/random.h"

#include "platform/win/native.h"

#include <bcrypt.h>

#include <algorithm>

namespace holm::platform {

Status fillRandom(std::span<uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ULONG part = static_cast<ULONG>(std::min<size_t>(bytes.size() - done, 1u << 30));
        const NTSTATUS status =
            ::BCryptGenRandom(nullptr, bytes.data() + done, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(status)) {
            return win::win32Error(ERROR_GEN_FAILURE);
        }
        done += part;
    }
    return {};
}

}  // namespace holm::platform
