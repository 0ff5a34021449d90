// The parts of verified opens that are the same on every system.
#include "platform/verified_open.h"

#include "platform/io.h"

namespace holm::platform {

Status createNewFile(const std::string& path, std::string_view content, uint32_t mode) {
    auto file = io::open(
        path, {.access = io::Access::Write, .create = true, .exclusive = true, .mode = mode});
    if (!file) {
        return file.error();
    }
    Status written = io::writeFull(file->get(), content);
    if (!written) {
        // Closed first: a file still open may only be marked for deletion.
        file->reset();
        (void)io::removeAt(io::kCurrentDirectory, path);  // reported: the write's error
    }
    return written;
}

}  // namespace holm::platform
