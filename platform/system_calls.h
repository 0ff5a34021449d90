// The I/O module's replaceable table of system calls, as the build's system
// has it (posix/system_calls.h, win/system_calls.h: the same entries in the
// same POSIX shape), and the one retry of interrupted calls.
#pragma once

#include <cerrno>

#if defined(_WIN32)
#include "platform/win/system_calls.h"
#else
#include "platform/posix/system_calls.h"
#endif

namespace holm::platform::io {

// Repeats `call` while it returns a negative value with errno EINTR; its
// last result otherwise. The one retry of interrupted calls.
template <typename Call>
auto retryInterrupted(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace holm::platform::io
