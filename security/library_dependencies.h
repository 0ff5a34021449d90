// The dependency rule for libraries the host loads: everything a plugin or
// the core library asks the dynamic loader for must come from the system
// library directories, found by the loader's ordinary search.
//
// A verified library could otherwise pull in an unverified one: its run path
// (DT_RUNPATH or DT_RPATH) may name any directory, "$ORIGIN" would be
// resolved against the descriptor it is loaded from ("/proc/self/fd"), and a
// dependency named with a '/' is loaded from that path. So a library whose
// run path names anything but a system library directory, or which names a
// dependency by path, is refused with the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace holm::security {

// The directories a run path may name: where the system's own libraries live.
inline constexpr std::string_view kSystemLibraryDirectories[] = {
    "/lib",
    "/lib64",
    "/usr/lib",
    "/usr/lib64",
    "/lib/x86_64-linux-gnu",
    "/usr/lib/x86_64-linux-gnu",
};

// Reads `size` bytes at `offset` of the library into `out`; false when the
// range cannot be read whole.
class LibraryBytes {
  public:
    virtual ~LibraryBytes() = default;
    virtual uint64_t size() const = 0;
    virtual bool read(uint64_t offset, void* out, size_t size) const = 0;
};

// Why the library breaks the dependency rule, or nothing when it keeps it.
// This is a verdict, not an error: a library that cannot be read is refused
// like one that breaks the rule, with the reason in the text.
// A file that is not a 64-bit little-endian ELF object, or whose dynamic
// section cannot be read within the file, is refused as well.
std::optional<std::string> dependencyRefusal(const LibraryBytes& library);

// The same for the library of `size` bytes open on `fd` (read with pread;
// the descriptor's position is not used).
std::optional<std::string> dependencyRefusal(int fd, uint64_t size);

// The same for a library in memory.
std::optional<std::string> dependencyRefusal(std::span<const std::byte> library);

}  // namespace holm::security
