// What a library asks the dynamic loader for, read the way the loader reads
// it, and the rules a library the host loads keeps by itself.
//
// The loader finds the dynamic section through the loadable segments: at the
// virtual address the PT_DYNAMIC header names, mapped from the file by the
// PT_LOAD segment that covers it, up to the DT_NULL entry, whatever the
// PT_DYNAMIC header says about its size. The reader does the same, bounds
// checked, and refuses a file whose headers disagree with that mapping. It
// records every entry that makes the loader open another file (DT_NEEDED,
// DT_AUXILIARY, DT_FILTER, DT_AUDIT, DT_DEPAUDIT) or search a directory
// (DT_RUNPATH, DT_RPATH), and refuses an entry it does not know: a tag the
// loader may act on, which this reader would otherwise not see.
//
// A verified library could pull in an unverified one: its run path may name
// any directory, "$ORIGIN" would be resolved against the descriptor it is
// loaded from ("/proc/self/fd"), a name with a '/' is loaded from that path,
// an audit library runs before anything is checked. So a library whose run
// path names anything but a system library directory, which names another
// file by path or with a substitution ('$'), or which asks for an audit
// library, is refused with the reason. What its names resolve to is checked
// by the dependency rule (security/dependency_rule.h).
//
// That is the Linux reader (security/posix/). On Windows
// (security/win/pe_requests.cpp) the requests are the DLLs of a PE image's
// import and delay-load import tables ("needed"); a DLL named by path is
// refused there, and the run-path and audit fields stay empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace holm::security {

// The directories a run path may name and root-owned libraries without a
// signature may come from: where the system's own libraries live.
inline constexpr std::string_view kSystemLibraryDirectories[] = {
    "/lib",
    "/lib64",
    "/usr/lib",
    "/usr/lib64",
    "/lib/x86_64-linux-gnu",
    "/usr/lib/x86_64-linux-gnu",
};

using DirectoryList = std::vector<std::string>;

// kSystemLibraryDirectories as a list.
const DirectoryList& systemLibraryDirectories();

// Reads `size` bytes at `offset` of the library into `out`; false when the
// range cannot be read whole.
class LibraryBytes {
  public:
    virtual ~LibraryBytes() = default;
    virtual uint64_t size() const = 0;
    virtual bool read(uint64_t offset, void* out, size_t size) const = 0;
};

// What the dynamic section asks of the loader, in the order of its entries.
struct LibraryRequests {
    bool dynamic = false;                    // it has a dynamic section at all
    std::vector<std::string> needed;         // DT_NEEDED
    std::vector<std::string> auxiliary;      // DT_AUXILIARY: loaded when found
    std::vector<std::string> filters;        // DT_FILTER: loaded like a dependency
    std::vector<std::string> audit;          // DT_AUDIT and DT_DEPAUDIT
    std::optional<std::string> runPath;      // DT_RUNPATH
    std::optional<std::string> rPath;        // DT_RPATH
    bool noDefaultDirectories = false;       // DF_1_NODEFLIB: no cache, no default directories
    std::optional<std::string> interpreter;  // PT_INTERP, mapped when a program starts
    // Where the headers disagree with what the loader reads (it reads on):
    // refused by the rules below, but the requests are still what the
    // loader will act on.
    std::optional<std::string> inconsistency;
};

// Reads the requests, or says why the file cannot be read as the loader
// reads it. A file that is not a 64-bit little-endian ELF object is refused.
platform::Result<LibraryRequests, std::string> readLibraryRequests(const LibraryBytes& library);

// Why the library breaks the rules a library keeps by itself (see above), or
// nothing when it keeps them. This is a verdict, not an error: a library
// that cannot be read is refused like one that breaks a rule, with the
// reason in the text. `systemDirectories` are the directories a run path may
// name (and what lies inside them).
std::optional<std::string> dependencyRefusal(
    const LibraryBytes& library,
    const DirectoryList& systemDirectories = systemLibraryDirectories());

// The same for the library of `size` bytes open on `fd` (read with pread;
// the descriptor's position is not used).
std::optional<std::string> dependencyRefusal(
    int fd, uint64_t size, const DirectoryList& systemDirectories = systemLibraryDirectories());

// The same for a library in memory.
std::optional<std::string> dependencyRefusal(
    std::span<const std::byte> library,
    const DirectoryList& systemDirectories = systemLibraryDirectories());

// The rules of dependencyRefusal on requests already read.
std::optional<std::string> requestRefusal(const LibraryRequests& requests,
                                          const DirectoryList& systemDirectories);

// A library read from a descriptor, or from memory.
class DescriptorBytes final : public LibraryBytes {
  public:
    DescriptorBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* out, size_t size) const override;

  private:
    int fd_;
    uint64_t size_;
};

class MemoryBytes final : public LibraryBytes {
  public:
    explicit MemoryBytes(std::span<const std::byte> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t offset, void* out, size_t size) const override;

  private:
    std::span<const std::byte> bytes_;
};

// The entries of a run path, split at ':'.
std::vector<std::string> runPathEntries(const std::string& runPath);

// Whether `directory` (absolute, without "." or ".." components) is one of
// `systemDirectories` or lies inside one.
bool isInSystemDirectory(std::string_view directory, const DirectoryList& systemDirectories);

// A name from a file, fit for a log line: control characters and bytes
// above 0x7e as \xNN, and cut after 200 bytes.
std::string quotedName(std::string_view name);

}  // namespace holm::security
