#include "platform/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/io.h"

namespace holm::platform {

namespace {

// Writes and flushes the new file; the caller removes it on failure.
Status writeTemporary(int directory, const std::string& name, std::span<const uint8_t> content,
                      uint32_t mode) {
    auto file =
        io::openAt(directory, name,
                   {.access = io::Access::Write, .create = true, .exclusive = true, .mode = mode});
    if (!file) {
        return file.error();
    }
    if (auto written = io::writeFull(file->get(), content); !written) {
        return written;
    }
    return io::sync(file->get());
}

std::string temporaryNameFor(std::string_view name) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return "." + std::string(name) + ".tmp-" + std::to_string(generator());
}

}  // namespace

Status replaceFileAtomically(int temporaryDirectory, const std::string& temporaryName,
                             int targetDirectory, const std::string& targetName,
                             std::span<const uint8_t> content, const AtomicWriteOptions& options) {
    if (temporaryName.find('/') != std::string::npos || targetName.find('/') != std::string::npos) {
        return Error::fromErrno(EINVAL);
    }
    // A leftover of a writer that died: whoever may use this name (the
    // caller guarantees it is its own) replaces it. A failure shows at the
    // exclusive create below.
    (void)::unlinkat(temporaryDirectory, temporaryName.c_str(), 0);
    Status status = writeTemporary(temporaryDirectory, temporaryName, content, options.mode);
    if (status) {
        status = io::renameAt(temporaryDirectory, temporaryName, targetDirectory, targetName);
    }
    if (!status) {
        (void)::unlinkat(temporaryDirectory, temporaryName.c_str(), 0);  // reported: `status`
        return status;
    }
    return options.syncDirectory ? io::sync(targetDirectory) : Status();
}

Status replaceFileAtomically(const std::string& path, std::string_view content,
                             const AtomicWriteOptions& options) {
    const size_t slash = path.rfind('/');
    const std::string directoryPath = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        return Error::fromErrno(EISDIR);
    }
    // The directory itself may be reached through links; the file is not.
    UniqueFd directory(::open(directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        return lastSystemError();
    }
    const std::string temporary = temporaryNameFor(name);
    return replaceFileAtomically(
        directory.get(), temporary, directory.get(), name,
        std::span(reinterpret_cast<const uint8_t*>(content.data()), content.size()), options);
}

}  // namespace holm::platform
