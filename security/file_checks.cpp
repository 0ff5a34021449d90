#include "security/file_checks.h"

#include "platform/process_info.h"

#include <algorithm>
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

std::optional<std::vector<std::byte>> readBoundedFile(int fd, uint64_t expectedSize, size_t limit,
                                                      bool& tooLarge) {
    tooLarge = false;
    // One byte beyond the expected size shows a file that has grown.
    constexpr size_t kFirstChunk = 64 * 1024;
    std::vector<std::byte> content(static_cast<size_t>(std::min<uint64_t>(expectedSize, limit)) +
                                   1);
    size_t filled = 0;
    for (;;) {
        if (filled == content.size()) {
            if (filled > limit) {
                tooLarge = true;
                return std::nullopt;
            }
            content.resize(std::min(limit + 1, std::max(filled * 2, kFirstChunk)));
        }
        const long long got =
            platform::readAt(fd, content.data() + filled, content.size() - filled, filled);
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<size_t>(got);
    }
    content.resize(filled);
    return content;
}

std::optional<std::string> readSmallFile(int fd, size_t limit, bool& tooLarge) {
    auto bytes = readBoundedFile(fd, limit, limit, tooLarge);
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

}  // namespace holm::security
