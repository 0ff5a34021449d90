#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/unique_handle.h"

namespace holm::platform {
namespace {

std::string describeErrno(const char* what, int code) {
    return std::string(what) + ": " + std::system_category().message(code);
}

}  // namespace

std::optional<MappedFile> MappedFile::fromDescriptor(int fd, std::string& error) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = describeErrno("cannot examine the file", errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
        return std::nullopt;
    }
    if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > kMaxSize) {
        error = "file larger than 64 MiB";
        return std::nullopt;
    }
    const auto size = static_cast<size_t>(info.st_size);
    if (size == 0) {
        return MappedFile(nullptr, 0);  // mmap refuses empty ranges
    }
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (address == MAP_FAILED) {
        error = describeErrno("cannot map the file", errno);
        return std::nullopt;
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
