#include "product/cfglib/config_file.h"

#include "common/cfglib_abi.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/verified_open.h"

namespace holm::cfglib {

FileContent readConfigurationFile(const std::string& path) {
    FileContent content;
    uint32_t error = 0;
    platform::UniqueFd fd = platform::openForReading(path, error);
    if (!fd) {
        content.missing = error == platform::WinError::kFileNotFound ||
                          error == platform::WinError::kPathNotFound;
        content.error = content.missing ? kCfgLibOk : static_cast<int32_t>(error);
        return content;
    }
    const auto info = platform::statDescriptor(fd.get(), &error);
    if (!info) {
        content.error = static_cast<int32_t>(error);
        return content;
    }
    if (info->type != platform::FileType::kRegular || info->size > kMaxConfigurationFileSize) {
        content.error = kCfgLibInvalidData;
        return content;
    }
    content.bytes.resize(static_cast<size_t>(info->size));
    size_t filled = 0;
    while (filled < content.bytes.size()) {
        const long long got = platform::readAt(fd.get(), content.bytes.data() + filled,
                                               content.bytes.size() - filled, filled);
        if (got < 0) {
            content.error = kCfgLibInvalidData;
            content.bytes.clear();
            return content;
        }
        if (got == 0) {
            break;  // the file shrank while it was read
        }
        filled += static_cast<size_t>(got);
    }
    content.bytes.resize(filled);
    return content;
}

int32_t replaceConfigurationFile(const std::string& /*path*/, std::string_view /*bytes*/) {
    return kCfgLibWriteFault;
}

}  // namespace holm::cfglib
