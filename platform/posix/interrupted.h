// The one retry of system calls the system interrupted (EINTR), shared by
// the POSIX backend's files: a call is repeated while it fails with EINTR.
#pragma once

#include <cerrno>

namespace holm::platform {

// Repeats `call` while it returns a negative value with errno EINTR; its
// last result otherwise.
template <typename Call>
auto retryInterrupted(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace holm::platform
