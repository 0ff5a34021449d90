#include "security/product_files.h"

#include <algorithm>

#include "platform/file_system.h"

namespace holm::security {

FileRole roleOfFile(const std::string& path, const std::string& productDirectory,
                    FileRole requested) {
    if (requested == FileRole::Product || productDirectory.empty()) {
        return requested;
    }
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (std::find(std::begin(kProductFileNames), std::end(kProductFileNames), name) ==
        std::end(kProductFileNames)) {
        return requested;
    }
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const auto inside = platform::statPath(directory);
    const auto product = platform::statPath(productDirectory);
    if (inside && product && inside->device == product->device && inside->inode == product->inode) {
        return FileRole::Product;
    }
    return requested;
}

}  // namespace holm::security
