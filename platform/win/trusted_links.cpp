#include "platform/trusted_links.h"

#include <cerrno>

#include "platform/win/native.h"

namespace holm::platform {

// Windows links (symbolic links, junctions) carry no owner the rule could
// weigh here: a reparse point at the name is refused, anything else is the
// name itself.
Result<std::string> followTrustedLinks(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win::nativePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return Error::fromErrno(ELOOP);
    }
    return path;
}

}  // namespace holm::platform
