#include "containers/held_file_replace.h"

#include "platform/atomic_file.h"
#include "platform/errors.h"

namespace holm::containers {

platform::Status replaceHeldFile(const std::string& path, std::string_view content,
                                 platform::UniqueFd& held) {
    platform::Status replaced = platform::replaceFileAtomically(path, content);
    if (replaced || !held || replaced.windowsError() != platform::WinError::kAccessDenied) {
        return replaced;
    }
    // The refusal may be ours: the rename met the file we hold. Released,
    // the writers' lock on it is gone for the moment of the rename; a writer
    // that took it meanwhile holds the file open, and so the rename fails
    // rather than replace what that writer is reading.
    held.reset();
    return platform::replaceFileAtomically(path, content);
}

}  // namespace holm::containers
