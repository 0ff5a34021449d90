#include "security/library_dependencies.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/io.h"
#include "platform/verified_open.h"

namespace holm::security {
namespace {

// The parts of the ELF format read here (64-bit, little-endian, which is
// what this platform loads).
constexpr unsigned char kElfMagic[4] = {0x7f, 'E', 'L', 'F'};
constexpr size_t kIdentClass = 4;
constexpr size_t kIdentData = 5;
constexpr unsigned char kClass64 = 2;
constexpr unsigned char kDataLittleEndian = 1;
constexpr uint32_t kSegmentLoad = 1;     // PT_LOAD
constexpr uint32_t kSegmentDynamic = 2;  // PT_DYNAMIC
constexpr int64_t kTagNull = 0;          // DT_NULL
constexpr int64_t kTagNeeded = 1;        // DT_NEEDED
constexpr int64_t kTagStringTable = 5;   // DT_STRTAB
constexpr int64_t kTagStringSize = 10;   // DT_STRSZ
constexpr int64_t kTagRunPathOld = 15;   // DT_RPATH
constexpr int64_t kTagRunPath = 29;      // DT_RUNPATH

struct ElfHeader {
    unsigned char ident[16];
    uint16_t type;
    uint16_t machine;
    uint32_t version;
    uint64_t entry;
    uint64_t programHeaderOffset;
    uint64_t sectionHeaderOffset;
    uint32_t flags;
    uint16_t headerSize;
    uint16_t programHeaderSize;
    uint16_t programHeaderCount;
    uint16_t sectionHeaderSize;
    uint16_t sectionHeaderCount;
    uint16_t sectionNameIndex;
};
static_assert(sizeof(ElfHeader) == 64);

struct ProgramHeader {
    uint32_t type;
    uint32_t flags;
    uint64_t offset;
    uint64_t virtualAddress;
    uint64_t physicalAddress;
    uint64_t fileSize;
    uint64_t memorySize;
    uint64_t alignment;
};
static_assert(sizeof(ProgramHeader) == 56);

struct DynamicEntry {
    int64_t tag;
    uint64_t value;
};
static_assert(sizeof(DynamicEntry) == 16);

// Limits far above any real library, so that a hostile header cannot make
// the reader allocate or loop without bound.
constexpr size_t kMaxProgramHeaders = 4096;
constexpr size_t kMaxDynamicEntries = 65536;
constexpr size_t kMaxStringTable = 16u * 1024 * 1024;

class DescriptorBytes final : public LibraryBytes {
  public:
    DescriptorBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* out, size_t size) const override {
        if (offset > size_ || size > size_ - offset) {
            return false;
        }
        return platform::io::readFullAt(fd_, std::span(static_cast<uint8_t*>(out), size), offset)
            .ok();
    }

  private:
    int fd_;
    uint64_t size_;
};

class MemoryBytes final : public LibraryBytes {
  public:
    explicit MemoryBytes(std::span<const std::byte> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t offset, void* out, size_t size) const override {
        if (offset > bytes_.size() || size > bytes_.size() - offset) {
            return false;
        }
        std::memcpy(out, bytes_.data() + offset, size);
        return true;
    }

  private:
    std::span<const std::byte> bytes_;
};

// What the dynamic section says about where dependencies come from.
struct DynamicInfo {
    uint64_t stringTableAddress = 0;
    uint64_t stringTableSize = 0;
    std::vector<uint64_t> needed;    // string offsets
    std::vector<uint64_t> runPaths;  // string offsets (DT_RUNPATH and DT_RPATH)
};

std::optional<ElfHeader> readHeader(const LibraryBytes& library, std::string& why) {
    ElfHeader header{};
    if (!library.read(0, &header, sizeof header) ||
        std::memcmp(header.ident, kElfMagic, sizeof kElfMagic) != 0) {
        why = "not an ELF file";
        return std::nullopt;
    }
    if (header.ident[kIdentClass] != kClass64 || header.ident[kIdentData] != kDataLittleEndian) {
        why = "not a 64-bit little-endian ELF file";
        return std::nullopt;
    }
    if (header.programHeaderSize != sizeof(ProgramHeader) ||
        header.programHeaderCount > kMaxProgramHeaders) {
        why = "malformed ELF program headers";
        return std::nullopt;
    }
    return header;
}

std::optional<std::vector<ProgramHeader>> readProgramHeaders(const LibraryBytes& library,
                                                             const ElfHeader& header,
                                                             std::string& why) {
    std::vector<ProgramHeader> headers(header.programHeaderCount);
    if (!library.read(header.programHeaderOffset, headers.data(),
                      headers.size() * sizeof(ProgramHeader))) {
        why = "ELF program headers lie outside the file";
        return std::nullopt;
    }
    return headers;
}

// The file offset of the virtual address `address`, through the loadable
// segment that maps it from the file.
std::optional<uint64_t> fileOffsetOf(const std::vector<ProgramHeader>& headers, uint64_t address) {
    for (const ProgramHeader& segment : headers) {
        if (segment.type == kSegmentLoad && address >= segment.virtualAddress &&
            address - segment.virtualAddress < segment.fileSize) {
            return segment.offset + (address - segment.virtualAddress);
        }
    }
    return std::nullopt;
}

bool readDynamic(const LibraryBytes& library, const ProgramHeader& dynamic, DynamicInfo& info,
                 std::string& why) {
    const uint64_t count =
        std::min<uint64_t>(dynamic.fileSize / sizeof(DynamicEntry), kMaxDynamicEntries);
    for (uint64_t i = 0; i < count; ++i) {
        DynamicEntry entry{};
        if (dynamic.offset > UINT64_MAX - i * sizeof entry ||
            !library.read(dynamic.offset + i * sizeof entry, &entry, sizeof entry)) {
            why = "the ELF dynamic section lies outside the file";
            return false;
        }
        switch (entry.tag) {
            case kTagNull:
                return true;
            case kTagStringTable:
                info.stringTableAddress = entry.value;
                break;
            case kTagStringSize:
                info.stringTableSize = entry.value;
                break;
            case kTagNeeded:
                info.needed.push_back(entry.value);
                break;
            case kTagRunPathOld:
            case kTagRunPath:
                info.runPaths.push_back(entry.value);
                break;
            default:
                break;
        }
    }
    return true;
}

std::optional<std::string> stringAt(const std::vector<char>& table, uint64_t offset) {
    if (offset >= table.size()) {
        return std::nullopt;
    }
    const auto* start = table.data() + offset;
    const auto* end = std::find(start, table.data() + table.size(), '\0');
    if (end == table.data() + table.size()) {
        return std::nullopt;
    }
    return std::string(start, end);
}

// A name from the file, fit for a log line: control characters and bytes
// above 0x7e as \xNN, and cut after kMaxQuoted bytes.
std::string quotedName(std::string_view name) {
    constexpr size_t kMaxQuoted = 200;
    constexpr char kHex[] = "0123456789abcdef";
    std::string text = "\"";
    for (size_t i = 0; i < name.size() && i < kMaxQuoted; ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x20 || byte > 0x7e || byte == '"' || byte == '\\') {
            text += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text + (name.size() > kMaxQuoted ? "\"..." : "\"");
}

bool isSystemDirectory(std::string_view entry) {
    while (entry.size() > 1 && entry.back() == '/') {
        entry.remove_suffix(1);
    }
    return std::find(std::begin(kSystemLibraryDirectories), std::end(kSystemLibraryDirectories),
                     entry) != std::end(kSystemLibraryDirectories);
}

// The first entry of a run path that is not a system library directory
// ("$ORIGIN/..", a relative or empty entry, any other directory).
std::optional<std::string> foreignRunPathEntry(const std::string& runPath) {
    size_t start = 0;
    for (;;) {
        const size_t colon = runPath.find(':', start);
        const std::string entry = runPath.substr(start, colon - start);
        if (!isSystemDirectory(entry)) {
            return entry;
        }
        if (colon == std::string::npos) {
            return std::nullopt;
        }
        start = colon + 1;
    }
}

std::optional<std::string> checkNames(const DynamicInfo& info, const std::vector<char>& table) {
    for (uint64_t offset : info.runPaths) {
        const auto runPath = stringAt(table, offset);
        if (!runPath) {
            return "its run path lies outside its string table";
        }
        if (const auto entry = foreignRunPathEntry(*runPath)) {
            return "its run path names " + quotedName(*entry) +
                   ", which is not a system library directory: dependencies are only loaded "
                   "from the system library directories";
        }
    }
    for (uint64_t offset : info.needed) {
        const auto name = stringAt(table, offset);
        if (!name) {
            return "a dependency's name lies outside its string table";
        }
        if (name->find('/') != std::string::npos) {
            return "it names its dependency " + quotedName(*name) +
                   " by path: dependencies are only loaded from the system library directories";
        }
    }
    return std::nullopt;
}

std::optional<std::string> checkDynamic(const LibraryBytes& library,
                                        const std::vector<ProgramHeader>& headers,
                                        const ProgramHeader& dynamic) {
    DynamicInfo info;
    std::string why;
    if (!readDynamic(library, dynamic, info, why)) {
        return why;
    }
    if (info.needed.empty() && info.runPaths.empty()) {
        return std::nullopt;
    }
    const auto tableOffset = fileOffsetOf(headers, info.stringTableAddress);
    if (!tableOffset || info.stringTableSize == 0 || info.stringTableSize > kMaxStringTable) {
        return "its dynamic string table cannot be found";
    }
    std::vector<char> table(static_cast<size_t>(info.stringTableSize));
    if (!library.read(*tableOffset, table.data(), table.size())) {
        return "its dynamic string table lies outside the file";
    }
    return checkNames(info, table);
}

}  // namespace

std::optional<std::string> dependencyRefusal(const LibraryBytes& library) {
    std::string why;
    const auto header = readHeader(library, why);
    if (!header) {
        return why;
    }
    const auto headers = readProgramHeaders(library, *header, why);
    if (!headers) {
        return why;
    }
    for (const ProgramHeader& segment : *headers) {
        if (segment.type == kSegmentDynamic) {
            return checkDynamic(library, *headers, segment);
        }
    }
    return std::nullopt;  // nothing for the loader to resolve
}

std::optional<std::string> dependencyRefusal(int fd, uint64_t size) {
    return dependencyRefusal(DescriptorBytes(fd, size));
}

std::optional<std::string> dependencyRefusal(std::span<const std::byte> library) {
    return dependencyRefusal(MemoryBytes(library));
}

}  // namespace holm::security
