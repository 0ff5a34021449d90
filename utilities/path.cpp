#include "utilities/path.h"

#include "common/path_parts.h"
#include "common/utf16.h"
#include "platform/file_system.h"

namespace Tandro::Utilities {

std::u16string Path::Combine(std::u16string_view directory, std::u16string_view name) {
    if (directory.empty() || holm::common::isAbsolutePath(name)) {
        return std::u16string(name);
    }
    return NormaliseDirectory(directory) + std::u16string(name);
}

std::u16string Path::NormaliseDirectory(std::u16string_view directory) {
    while (directory.size() > 1 && directory.back() == u'/') {
        directory.remove_suffix(1);
    }
    std::u16string result(directory);
    if (!result.empty() && result.back() != u'/') {
        result += u'/';
    }
    return result;
}

bool Directory::Exists(std::u16string_view path) {
    return holm::platform::isDirectory(holm::common::utf16ToUtf8(path));
}

bool Directory::CreateAdminOnly(std::u16string_view path) {
    return holm::platform::makeDirectory(holm::common::utf16ToUtf8(path), 0700).ok();
}

}  // namespace Tandro::Utilities
