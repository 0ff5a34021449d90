// The one retry of interrupted calls, private to the I/O module (io.cpp and
// its backends' io.cpp): no other file repeats a call on EINTR.
#pragma once

#include <cerrno>

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
