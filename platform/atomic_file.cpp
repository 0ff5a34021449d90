// The parts of the atomic replacement that are the same on every system:
// the temporary file's name, its removal unless it was committed, and the
// order of a commit. The backends open, lock and rename.
#include "platform/atomic_file.h"

#include <cerrno>

#include "platform/io.h"
#include "platform/random.h"

namespace holm::platform {

std::string FileReplacement::temporaryNameFor(std::string_view name) {
    return "." + std::string(name) + ".tmp-" + std::to_string(uniqueNameBits());
}

FileReplacement& FileReplacement::operator=(FileReplacement&& other) noexcept {
    if (this != &other) {
        discard();
        temporaryDirectory_ = std::move(other.temporaryDirectory_);
        targetDirectory_ = std::move(other.targetDirectory_);
        file_ = std::move(other.file_);
        temporaryName_ = std::move(other.temporaryName_);
        targetName_ = std::move(other.targetName_);
        options_ = other.options_;
        other.temporaryName_.clear();
    }
    return *this;
}

FileReplacement::~FileReplacement() {
    discard();
}

void FileReplacement::discard() noexcept {
    // Closed first: a file still open may only be marked for deletion. The
    // name (set once the file exists, cleared once it is the target's) says
    // whether there is a temporary file to remove, also after the rename
    // closed it and then failed.
    file_.reset();
    if (!temporaryName_.empty() && temporaryDirectory_) {
        (void)io::removeAt(temporaryDirectory_.get(), temporaryName_);
    }
    temporaryName_.clear();
}

Status FileReplacement::commit() {
    if (!file_ || temporaryName_.empty()) {
        return Error::fromErrno(EBADF);
    }
    Status status = adoptTarget();
    if (status) {
        status = io::sync(file_.get());
    }
    if (status) {
        status = renameOverTarget();
    }
    if (!status) {
        discard();  // reported: `status`
        return status;
    }
    temporaryName_.clear();  // the name is the target's now
    file_.reset();
    return options_.syncDirectory ? io::sync(targetDirectory_.get()) : Status();
}

namespace {

Status writeAndCommit(Result<FileReplacement> replacement, std::span<const uint8_t> content) {
    if (!replacement) {
        return replacement.error();
    }
    if (auto written = io::writeFull(replacement->fd(), content); !written) {
        return written;
    }
    return replacement->commit();
}

}  // namespace

Status replaceFileAtomically(int temporaryDirectory, const std::string& temporaryName,
                             int targetDirectory, const std::string& targetName,
                             std::span<const uint8_t> content, const AtomicWriteOptions& options) {
    return writeAndCommit(FileReplacement::begin(temporaryDirectory, temporaryName, targetDirectory,
                                                 targetName, options),
                          content);
}

Status replaceFileAtomically(const std::string& path, std::string_view content,
                             const AtomicWriteOptions& options) {
    return writeAndCommit(
        FileReplacement::begin(path, options),
        std::span(reinterpret_cast<const uint8_t*>(content.data()), content.size()));
}

}  // namespace holm::platform
