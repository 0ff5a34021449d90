#include "platform/service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace holm::platform {

// The service manager starts the program as it is and talks to it through
// signals and the notification socket (signals.cpp): nothing to connect to.
int runService(const std::function<int()>& body) {
    return body();
}

Status appendStandardErrorTo(const std::string& path) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return lastSystemError();
    }
    std::fflush(stderr);
    const Status moved = ::dup2(fd, STDERR_FILENO) >= 0 ? Status() : lastSystemError();
    ::close(fd);
    return moved;
}

}  // namespace holm::platform
