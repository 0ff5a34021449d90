#include "security/product_files.h"

#include <algorithm>

#include "common/path_parts.h"
#include "platform/file_system.h"

namespace holm::security {

FileRole roleOfFile(const std::string& path, const std::string& productDirectory,
                    FileRole requested) {
    if (requested == FileRole::Product || productDirectory.empty()) {
        return requested;
    }
    const std::string_view name = common::fileNameOf(path);
    if (std::find(std::begin(kProductFileNames), std::end(kProductFileNames), name) ==
        std::end(kProductFileNames)) {
        return requested;
    }
    const std::string directory(common::directoryOf(path));
    const auto inside = platform::statPath(directory);
    const auto product = platform::statPath(productDirectory);
    if (inside && product && inside->device == product->device && inside->inode == product->inode) {
        return FileRole::Product;
    }
    return requested;
}

}  // namespace holm::security
