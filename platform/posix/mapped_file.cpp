#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "platform/io.h"
#include "platform/unique_handle.h"

namespace holm::platform {
Result<MappedFile> MappedFile::fromDescriptor(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return lastSystemError();
    }
    if (!S_ISREG(info.st_mode)) {
        return Error::fromErrno(EINVAL).because("not a regular file");
    }
    if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > kMaxSize) {
        return Error::fromErrno(EFBIG).because("file larger than 64 MiB");
    }
    const auto size = static_cast<size_t>(info.st_size);
    if (size == 0) {
        return MappedFile(nullptr, 0);  // mmap refuses empty ranges
    }
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (address == MAP_FAILED) {
        return lastSystemError();
    }
    return MappedFile(static_cast<const std::byte*>(address), size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        unmap();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() {
    unmap();
}

void MappedFile::unmap() noexcept {
    if (data_ != nullptr) {
        ::munmap(const_cast<std::byte*>(data_), size_);
        data_ = nullptr;
        size_ = 0;
    }
}

}  // namespace holm::platform
