// A read-only view of a whole regular file, mapped privately.
//
// Parsers can work on one bounds-known byte range instead of a stream. The
// mapping is private and read-only: the process never writes through it, but
// a change of the file on disk may show through it (and a file cut short
// faults the reader), so trusted files are read through the verified read of
// security/verified_data.h, which copies them, never through this mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/result.h"

namespace holm::platform {

class MappedFile {
  public:
    // Largest file that is mapped; bigger files are refused.
    static constexpr uint64_t kMaxSize = 64u * 1024 * 1024;

    // Maps the regular file behind `fd` (which the caller keeps owning), so that
    // a caller holding an already verified descriptor reads exactly that file.
    static Result<MappedFile> fromDescriptor(int fd);

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    // The file's bytes; empty for an empty file. Valid while this object lives
    // (a move keeps the same addresses).
    std::span<const std::byte> bytes() const noexcept { return {data_, size_}; }

  private:
    MappedFile(const std::byte* data, size_t size) noexcept : data_(data), size_(size) {}
    void unmap() noexcept;

    const std::byte* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace holm::platform
