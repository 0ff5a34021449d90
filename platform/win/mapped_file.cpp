#include "platform/mapped_file.h"

#include <cerrno>
#include <utility>

#include "platform/win/native.h"

namespace holm::platform {

Result<MappedFile> MappedFile::fromDescriptor(int fd) {
    HANDLE file = win::handleOf(fd);
    if (file == INVALID_HANDLE_VALUE) {
        return lastSystemError();
    }
    LARGE_INTEGER size{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size)) {
        return Error::fromErrno(EINVAL);
    }
    if (static_cast<uint64_t>(size.QuadPart) > kMaxSize) {
        return Error::fromErrno(EFBIG);
    }
    if (size.QuadPart == 0) {
        return MappedFile(nullptr, 0);
    }
    HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        return win::lastWin32Error();
    }
    void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size.QuadPart));
    const DWORD error = view == nullptr ? ::GetLastError() : ERROR_SUCCESS;
    ::CloseHandle(mapping);  // the view keeps the mapping
    if (view == nullptr) {
        return win::win32Error(error);
    }
    return MappedFile(static_cast<const std::byte*>(view), static_cast<size_t>(size.QuadPart));
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
        ::UnmapViewOfFile(data_);
    }
    data_ = nullptr;
    size_ = 0;
}

}  // namespace holm::platform
