#include "security/file_checks.h"

#include "common/path_parts.h"
#include "platform/io.h"
#include "platform/process_info.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace holm::security {

bool isTrustedOwner(uint32_t owner) {
    return owner == 0 || owner == platform::effectiveUserId();
}

platform::Result<FileInDirectory, platform::OpenFailure> openInDirectory(const std::string& path) {
    // Split as text: a narrow path is UTF-8 on every system, which
    // std::filesystem does not assume on Windows.
    auto directory = platform::openDirectory(std::string(common::directoryOf(path)));
    if (!directory) {
        platform::OpenFailure failure = directory.error();
        if (failure.refusal == platform::OpenRefusal::WrongType) {
            failure.refusal = platform::OpenRefusal::NotFound;
        }
        return failure;
    }
    auto file = platform::openFileAt(directory->fd.get(), std::string(common::fileNameOf(path)));
    if (!file) {
        return file.error();
    }
    return FileInDirectory{std::move(*directory), std::move(*file)};
}

std::string describeOpenFailure(const platform::OpenFailure& failure) {
    switch (failure.refusal) {
        case platform::OpenRefusal::NotFound:
            return "does not exist";
        case platform::OpenRefusal::SymbolicLink:
            return "is a symbolic link";
        case platform::OpenRefusal::WrongType:
            return "has the wrong file type";
        case platform::OpenRefusal::Failed:
            break;
    }
    return "cannot be opened: " + std::generic_category().message(failure.error);
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
