#include "platform/atomic_file.h"

#include <algorithm>
#include <cerrno>

#include "common/path_parts.h"
#include "platform/io.h"
#include "platform/win/native.h"

namespace holm::platform {
namespace {

// A second descriptor of the directory open on `fd`.
Result<UniqueFd> duplicateDirectory(int fd) {
    HANDLE handle = win::handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return win::lastWin32Error();
    }
    const int duplicate = win::adoptHandle(copy, win::HandleKind::Directory);
    if (duplicate < 0) {
        return lastSystemError();
    }
    return UniqueFd(duplicate);
}

}  // namespace

// Windows files carry an access list, inherited from the directory, in place
// of an owner, group and mode: a replacement made in the target's directory
// gets that directory's list, which is what a file made there has anyway.
// So nothing of the old file is copied, and `mode` is not used.
Status copyOwnerAndMode(int, int) {
    return {};
}

Result<FileReplacement> FileReplacement::begin(const std::string& givenPath,
                                               const AtomicWriteOptions& options) {
    // Either separator may come from the system's own paths.
    std::string path = givenPath;
    std::replace(path.begin(), path.end(), '\\', '/');
    const std::string name(common::fileNameOf(path));
    if (name.empty()) {
        return Error::fromErrno(EINVAL);
    }
    const std::string directory(common::directoryOf(path));  // "." for a bare name
    auto opened = io::open(directory, {.directory = true, .followLink = true});
    if (!opened) {
        return opened.error();
    }
    return begin(opened->get(), temporaryNameFor(name), opened->get(), name, options);
}

Result<FileReplacement> FileReplacement::begin(int temporaryDirectory,
                                               const std::string& temporaryName,
                                               int targetDirectory, const std::string& targetName,
                                               const AtomicWriteOptions& options) {
    if (temporaryName.find_first_of("/\\") != std::string::npos ||
        targetName.find_first_of("/\\") != std::string::npos) {
        return Error::fromErrno(EINVAL);
    }
    FileReplacement replacement;
    auto temporary = duplicateDirectory(temporaryDirectory);
    auto target = duplicateDirectory(targetDirectory);
    if (!temporary || !target) {
        return temporary ? target.error() : temporary.error();
    }
    replacement.temporaryDirectory_ = std::move(*temporary);
    replacement.targetDirectory_ = std::move(*target);
    replacement.options_ = options;
    // A leftover of that name is replaced.
    (void)io::removeAt(replacement.temporaryDirectory_.get(), temporaryName);
    auto file = io::openAt(replacement.temporaryDirectory_.get(), temporaryName,
                           {.access = io::Access::Write, .create = true, .exclusive = true});
    if (!file) {
        return file.error();
    }
    replacement.file_ = std::move(*file);
    replacement.temporaryName_ = temporaryName;
    replacement.targetName_ = targetName;
    Status locked = io::lockExclusive(replacement.file_.get());
    if (!locked) {
        return locked.error();  // the destructor removes the temporary file
    }
    return replacement;
}

Status FileReplacement::adoptTarget() {
    return {};
}

Status FileReplacement::renameOverTarget() {
    // Closed first: the rename (write-through) must not meet the file open.
    file_.reset();
    return io::renameAt(temporaryDirectory_.get(), temporaryName_, targetDirectory_.get(),
                        targetName_);
}

}  // namespace holm::platform
