#include "platform/trusted_links.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/path_parts.h"

namespace holm::platform {

namespace {

constexpr int kMaxLinks = 40;

bool trustedOwner(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

}  // namespace

Result<std::string> followTrustedLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        struct stat link {};
        if (::lstat(current.c_str(), &link) != 0) {
            if (errno == ENOENT) {
                return current;  // nothing there yet: the writer makes it
            }
            return lastSystemError();
        }
        if (!S_ISLNK(link.st_mode)) {
            return current;
        }
        const std::string directory(common::directoryOf(current));
        struct stat holder {};
        if (::stat(directory.c_str(), &holder) != 0) {
            return lastSystemError();
        }
        if (!trustedOwner(link.st_uid) || !trustedOwner(holder.st_uid)) {
            return Error::fromErrno(ELOOP);
        }
        std::string target(static_cast<size_t>(link.st_size) + 1, '\0');
        const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
        if (length < 0) {
            return lastSystemError();
        }
        if (static_cast<size_t>(length) >= target.size()) {
            return Error::fromErrno(ELOOP);  // changed while read
        }
        target.resize(static_cast<size_t>(length));
        current = target.starts_with('/') ? target : directory + "/" + target;
    }
    return Error::fromErrno(ELOOP);
}

}  // namespace holm::platform
