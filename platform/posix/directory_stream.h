// The one owner of a directory stream (DIR*) in the POSIX backends.
#pragma once

#include <dirent.h>

#include "platform/unique_handle.h"

namespace holm::platform {

struct DirTraits {
    using Handle = DIR*;
    static constexpr DIR* invalid() noexcept { return nullptr; }
    static void close(DIR* stream) noexcept { ::closedir(stream); }
};
using UniqueDir = UniqueHandle<DirTraits>;

// A directory stream over `fd`, which the stream then owns. An invalid `fd`
// gives an invalid stream with errno as the failed open left it.
inline UniqueDir streamOver(UniqueFd fd) {
    if (!fd) {
        return {};
    }
    UniqueDir stream(::fdopendir(fd.get()));
    if (stream) {
        (void)fd.release();  // the stream owns it now
    }
    return stream;
}

}  // namespace holm::platform
