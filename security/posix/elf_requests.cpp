// What an ELF library asks the dynamic loader for (security/library_dependencies.h).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "security/library_dependencies.h"

namespace holm::security {
namespace {

// The parts of the ELF format read here (64-bit, little-endian, which is
// what this platform loads).
constexpr unsigned char kElfMagic[4] = {0x7f, 'E', 'L', 'F'};
constexpr size_t kIdentClass = 4;
constexpr size_t kIdentData = 5;
constexpr unsigned char kClass64 = 2;
constexpr unsigned char kDataLittleEndian = 1;
constexpr uint32_t kSegmentLoad = 1;         // PT_LOAD
constexpr uint32_t kSegmentDynamic = 2;      // PT_DYNAMIC
constexpr uint32_t kSegmentInterpreter = 3;  // PT_INTERP

// Dynamic tags that name files or directories for the loader.
constexpr int64_t kTagNull = 0;             // DT_NULL
constexpr int64_t kTagNeeded = 1;           // DT_NEEDED
constexpr int64_t kTagStringTable = 5;      // DT_STRTAB
constexpr int64_t kTagRunPathOld = 15;      // DT_RPATH
constexpr int64_t kTagRunPath = 29;         // DT_RUNPATH
constexpr int64_t kTagFlags1 = 0x6ffffffb;  // DT_FLAGS_1
constexpr int64_t kTagDepAudit = 0x6ffffefb;
constexpr int64_t kTagAudit = 0x6ffffefc;
constexpr int64_t kTagAuxiliary = 0x7ffffffd;
constexpr int64_t kTagFilter = 0x7fffffff;
constexpr uint64_t kFlagNoDefaultLibraries = 0x800;  // DF_1_NODEFLIB

// Tags the loader reads for relocation, symbols, versions, initialisation
// and flags: none of them makes it open a file.
constexpr int64_t kHarmlessTags[] = {
    2,          3,          4,          5,          6,          7,          8,
    9,          10,         11,         12,         13,         14,         16,
    17,         18,         19,         20,         21,         22,         23,
    24,         25,         26,         27,         28,         30,         32,
    33,         34,         35,         36,         37,
    0x6ffffdf4,  // DT_GNU_FLAGS_1
    0x6ffffdf5, 0x6ffffdf6, 0x6ffffdf7, 0x6ffffdf8, 0x6ffffdf9, 0x6ffffdfa, 0x6ffffdfb,
    0x6ffffdfc, 0x6ffffdfd, 0x6ffffdfe, 0x6ffffdff,  // the DT_VALRNG tags
    0x6ffffef5, 0x6ffffef6, 0x6ffffef7, 0x6ffffef8, 0x6ffffef9, 0x6ffffefd, 0x6ffffefe,
    0x6ffffeff,  // the DT_ADDRRNG tags but DT_CONFIG and the audit tags
    0x6ffffff0, 0x6ffffff9, 0x6ffffffa, 0x6ffffffb, 0x6ffffffc, 0x6ffffffd, 0x6ffffffe,
    0x6fffffff,                          // versions, relocation counts, DT_FLAGS_1
    0x70000000, 0x70000001, 0x70000003,  // the x86-64 PLT tags
};

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
constexpr size_t kMaxName = 4096;

// Why the file cannot be read as the loader reads it (a type of its own, so
// that a result can also hold a string).
struct Refusal {
    std::string why;
};

platform::Result<ElfHeader, Refusal> readHeader(const LibraryBytes& library) {
    ElfHeader header{};
    if (!library.read(0, &header, sizeof header) ||
        std::memcmp(header.ident, kElfMagic, sizeof kElfMagic) != 0) {
        return Refusal{"not an ELF file"};
    }
    if (header.ident[kIdentClass] != kClass64 || header.ident[kIdentData] != kDataLittleEndian) {
        return Refusal{"not a 64-bit little-endian ELF file"};
    }
    if (header.programHeaderSize != sizeof(ProgramHeader) ||
        header.programHeaderCount > kMaxProgramHeaders) {
        return Refusal{"malformed ELF program headers"};
    }
    return header;
}

// The loadable segments as the loader maps them: which virtual addresses
// hold which bytes of the file.
class Mapping {
  public:
    explicit Mapping(std::vector<ProgramHeader> headers) : headers_(std::move(headers)) {}

    const std::vector<ProgramHeader>& headers() const { return headers_; }

    // The file offset of the `length` bytes at `address`, when one loadable
    // segment maps all of them from the file.
    std::optional<uint64_t> fileOffsetOf(uint64_t address, uint64_t length) const {
        for (const ProgramHeader& segment : headers_) {
            if (segment.type != kSegmentLoad || address < segment.virtualAddress) {
                continue;
            }
            const uint64_t into = address - segment.virtualAddress;
            if (into < segment.fileSize && length <= segment.fileSize - into &&
                segment.offset <= UINT64_MAX - into) {
                return segment.offset + into;
            }
        }
        return std::nullopt;
    }

    // The NUL-terminated string at `address`, read through the mapping.
    platform::Result<std::string, Refusal> stringAt(const LibraryBytes& library,
                                                    uint64_t address) const {
        std::string text;
        char chunk[64];
        while (text.size() < kMaxName) {
            if (address > UINT64_MAX - text.size()) {
                break;
            }
            const uint64_t at = address + text.size();
            size_t length = sizeof chunk;
            std::optional<uint64_t> offset;
            while (length > 0 && !(offset = fileOffsetOf(at, length))) {
                length /= 2;
            }
            if (!offset || !library.read(*offset, chunk, length)) {
                break;
            }
            const auto* end = std::find(chunk, chunk + length, '\0');
            text.append(chunk, static_cast<size_t>(end - chunk));
            if (end != chunk + length) {
                return text;
            }
        }
        return Refusal{"a name in its dynamic section lies outside what is mapped from the file"};
    }

  private:
    std::vector<ProgramHeader> headers_;
};

platform::Result<Mapping, Refusal> readMapping(const LibraryBytes& library,
                                               const ElfHeader& header) {
    std::vector<ProgramHeader> headers(header.programHeaderCount);
    if (!library.read(header.programHeaderOffset, headers.data(),
                      headers.size() * sizeof(ProgramHeader))) {
        return Refusal{"ELF program headers lie outside the file"};
    }
    return Mapping(std::move(headers));
}

struct RawEntries {
    std::vector<DynamicEntry> named;  // entries whose value is a string offset
    uint64_t stringTable = 0;
    bool hasStringTable = false;
};

// Reads the dynamic array at the segment's virtual address through the
// mapping, up to DT_NULL, as the loader does.
platform::Result<RawEntries, Refusal> readEntries(const LibraryBytes& library,
                                                  const Mapping& mapping,
                                                  const ProgramHeader& dynamic,
                                                  LibraryRequests& requests) {
    const auto start = mapping.fileOffsetOf(dynamic.virtualAddress, sizeof(DynamicEntry));
    if (!start || *start != dynamic.offset) {
        return Refusal{
            "its dynamic segment does not lie where its loadable segments map it from the file"};
    }
    RawEntries raw;
    for (uint64_t i = 0; i < kMaxDynamicEntries; ++i) {
        const uint64_t into = i * sizeof(DynamicEntry);
        const auto offset =
            dynamic.virtualAddress <= UINT64_MAX - into
                ? mapping.fileOffsetOf(dynamic.virtualAddress + into, sizeof(DynamicEntry))
                : std::nullopt;
        DynamicEntry entry{};
        if (!offset || !library.read(*offset, &entry, sizeof entry)) {
            return Refusal{"its dynamic section runs past what is mapped from the file"};
        }
        if (entry.tag == kTagNull) {
            if (into + sizeof entry > dynamic.fileSize) {
                requests.inconsistency = "its dynamic segment is shorter than its dynamic section";
            }
            return raw;
        }
        switch (entry.tag) {
            case kTagStringTable:
                raw.stringTable = entry.value;
                raw.hasStringTable = true;
                break;
            case kTagNeeded:
            case kTagRunPathOld:
            case kTagRunPath:
            case kTagAudit:
            case kTagDepAudit:
            case kTagAuxiliary:
            case kTagFilter:
                raw.named.push_back(entry);
                break;
            default:
                if (std::find(std::begin(kHarmlessTags), std::end(kHarmlessTags), entry.tag) ==
                    std::end(kHarmlessTags)) {
                    return Refusal{"its dynamic section holds the tag " +
                                   std::to_string(entry.tag) +
                                   ", which the dependency check does not know"};
                }
                if (entry.tag == kTagFlags1 && (entry.value & kFlagNoDefaultLibraries) != 0) {
                    requests.noDefaultDirectories = true;
                }
                break;
        }
    }
    return Refusal{"its dynamic section has no end"};
}

platform::Result<void, Refusal> readNames(const LibraryBytes& library, const Mapping& mapping,
                                          const RawEntries& raw, LibraryRequests& requests) {
    if (raw.named.empty()) {
        return {};
    }
    if (!raw.hasStringTable) {
        return Refusal{"its dynamic string table cannot be found"};
    }
    for (const DynamicEntry& entry : raw.named) {
        if (entry.value > UINT64_MAX - raw.stringTable) {
            return Refusal{
                "a name in its dynamic section lies outside what is mapped from the file"};
        }
        auto name = mapping.stringAt(library, raw.stringTable + entry.value);
        if (!name) {
            return name.error();
        }
        switch (entry.tag) {
            case kTagNeeded:
                requests.needed.push_back(std::move(*name));
                break;
            case kTagAuxiliary:
                requests.auxiliary.push_back(std::move(*name));
                break;
            case kTagFilter:
                requests.filters.push_back(std::move(*name));
                break;
            case kTagAudit:
            case kTagDepAudit:
                requests.audit.push_back(std::move(*name));
                break;
            case kTagRunPath:
                requests.runPath = requests.runPath ? *requests.runPath + ":" + *name : *name;
                break;
            default:  // DT_RPATH
                requests.rPath = requests.rPath ? *requests.rPath + ":" + *name : *name;
                break;
        }
    }
    return {};
}

platform::Result<std::string, Refusal> readInterpreter(const LibraryBytes& library,
                                                       const ProgramHeader& segment) {
    if (segment.fileSize == 0 || segment.fileSize > kMaxName) {
        return Refusal{"its program interpreter's name is malformed"};
    }
    std::string name(static_cast<size_t>(segment.fileSize), '\0');
    if (!library.read(segment.offset, name.data(), name.size()) || name.back() != '\0') {
        return Refusal{"its program interpreter's name is malformed"};
    }
    name.resize(std::strlen(name.c_str()));
    return name;
}

}  // namespace

platform::Result<LibraryRequests, std::string> readLibraryRequests(const LibraryBytes& library) {
    const auto header = readHeader(library);
    if (!header) {
        return header.error().why;
    }
    auto mapping = readMapping(library, *header);
    if (!mapping) {
        return mapping.error().why;
    }
    LibraryRequests requests;
    const ProgramHeader* dynamic = nullptr;
    for (const ProgramHeader& segment : mapping->headers()) {
        if (segment.type == kSegmentInterpreter) {
            auto name = readInterpreter(library, segment);
            if (!name) {
                return name.error().why;
            }
            requests.interpreter = std::move(*name);
        } else if (segment.type == kSegmentDynamic) {
            if (dynamic != nullptr) {
                return std::string("it has more than one dynamic segment");
            }
            dynamic = &segment;
        }
    }
    if (dynamic == nullptr) {
        return requests;  // nothing for the loader to resolve
    }
    requests.dynamic = true;
    const auto raw = readEntries(library, *mapping, *dynamic, requests);
    if (!raw) {
        return raw.error().why;
    }
    if (auto named = readNames(library, *mapping, *raw, requests); !named) {
        return named.error().why;
    }
    return requests;
}

}  // namespace holm::security
