#include "platform/process_info.h"
#include "platform/posix/proc_file.h"

#include <unistd.h>

#include "platform/io.h"

namespace holm::platform {

std::string readWholeFile(const char* path) {
    // Far above what the kernel's files about this process hold; a bound
    // all the same, so that nothing reads without limit.
    constexpr size_t kLimit = 64 * 1024 * 1024;
    return io::readSmallFile(path, kLimit).valueOr({});
}

std::string_view programSuffix() {
    return "";
}

std::string executablePath() {
    std::string path(256, '\0');
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<size_t>(length) < path.size()) {
            path.resize(static_cast<size_t>(length));
            return path;
        }
        path.resize(path.size() * 2);  // possibly cut off: try a larger buffer
    }
}

std::vector<std::string> commandLineArguments() {
    std::string content = readWholeFile("/proc/self/cmdline");
    std::vector<std::string> arguments;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\0', start);
        if (end == std::string::npos) {
            end = content.size();  // the last argument lacks its terminator
        }
        arguments.emplace_back(content, start, end - start);
        start = end + 1;
    }
    return arguments;
}

uint32_t currentThreadId() {
    return static_cast<uint32_t>(::gettid());
}

uint32_t currentProcessId() {
    return static_cast<uint32_t>(::getpid());
}

uint32_t effectiveUserId() {
    return static_cast<uint32_t>(::geteuid());
}

}  // namespace holm::platform
