#include "platform/directory_ops.h"

#include <sys/stat.h>

namespace holm::platform::directory_ops {

bool directoryExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool createOwnerOnlyDirectory(const std::string& path) {
    return !path.empty() && ::mkdir(path.c_str(), S_IRWXU) == 0;
}

}  // namespace holm::platform::directory_ops
