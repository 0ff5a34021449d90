#include "product/cfglib/config_file.h"

#include <cerrno>

#include "common/cfglib_abi.h"
#include "platform/atomic_file.h"
#include "platform/errors.h"
#include "platform/io.h"

namespace holm::product::cfglib {

// The result codes of the binary interface the library implements.
using namespace ::holm::common::cfglib;

FileContent readConfigurationFile(const std::string& path) {
    FileContent content;
    platform::Result<std::string> read =
        platform::io::readSmallFile(path, kMaxConfigurationFileSize);
    if (read) {
        content.bytes = std::move(*read);
        return content;
    }
    content.missing = read.error().errnoValue() == ENOENT;
    content.error = content.missing ? kCfgLibOk : static_cast<int32_t>(read.error().windowsError());
    if (content.error == kCfgLibOk && !content.missing) {
        content.error = kCfgLibInvalidData;
    }
    return content;
}

int32_t replaceConfigurationFile(const std::string& path, std::string_view bytes) {
    platform::AtomicWriteOptions options;
    options.mode = 0600;
    options.syncDirectory = true;
    const platform::Status written = platform::replaceFileAtomically(path, bytes, options);
    if (written) {
        return kCfgLibOk;
    }
    const uint32_t error = written.error().windowsError();
    return error != 0 ? static_cast<int32_t>(error) : kCfgLibWriteFault;
}

platform::Result<ConfigurationLock> ConfigurationLock::acquire(
    const std::string& configurationFile) {
    auto fd =
        platform::io::open(configurationFile + ".lock",
                           {.access = platform::io::Access::Write, .create = true, .mode = 0600});
    if (!fd) {
        return fd.error();
    }
    auto locked = platform::io::lockExclusiveBefore(
        fd->get(), platform::io::deadlineIn(platform::io::kWriterLockWait));
    if (!locked) {
        return locked.error();
    }
    if (!*locked) {
        // Another writer kept it: a sharing violation, as for text files.
        return platform::Error::windows(platform::WinError::kSharingViolation, EWOULDBLOCK);
    }
    return ConfigurationLock(std::move(*fd));
}

}  // namespace holm::product::cfglib
