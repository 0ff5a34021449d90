#include "security/file_checks.h"

#include "platform/io.h"
#include "platform/process_info.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace holm::security {

bool isTrustedOwner(uint32_t owner) {
    return owner == 0 || owner == platform::effectiveUserId();
}

FileInDirectory openInDirectory(const std::string& path) {
    const std::filesystem::path fsPath(path);
    FileInDirectory result;
    result.directory =
        platform::openDirectory(fsPath.has_parent_path() ? fsPath.parent_path().string() : ".");
    if (result.directory.status == platform::OpenStatus::Opened) {
        result.file = platform::openFileAt(result.directory.fd.get(), fsPath.filename().string());
    } else {
        result.file.status = result.directory.status == platform::OpenStatus::WrongType
                                 ? platform::OpenStatus::NotFound
                                 : result.directory.status;
        result.file.error = result.directory.error;
    }
    return result;
}

std::string describeOpenFailure(const platform::OpenedFile& opened) {
    switch (opened.status) {
        case platform::OpenStatus::Opened:
            return {};
        case platform::OpenStatus::NotFound:
            return "does not exist";
        case platform::OpenStatus::SymbolicLink:
            return "is a symbolic link";
        case platform::OpenStatus::WrongType:
            return "has the wrong file type";
        case platform::OpenStatus::Failed:
            break;
    }
    return "cannot be opened: " + std::generic_category().message(opened.error);
}

platform::Result<std::vector<std::byte>> readBoundedFile(int fd, uint64_t expectedSize,
                                                         size_t limit) {
    return platform::io::readWholeFile(fd, limit, expectedSize);
}

platform::Result<std::string> readSmallFile(int fd, size_t limit) {
    auto bytes = readBoundedFile(fd, limit, limit);
    if (!bytes) {
        return bytes.error();
    }
    return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

bool isTooLarge(const platform::Error& error) {
    return error.errnoValue() == EFBIG;
}

}  // namespace holm::security
