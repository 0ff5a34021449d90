// What a Windows library asks the loader for (security/library_dependencies.h):
// the DLLs its import table and its delay-load import table name. The reader
// takes the headers as the loader does (the optional header's data
// directories, each table found through the section that maps its virtual
// address), bounds checked, and refuses a file that is not a PE image of this
// build's machine or whose tables cannot be followed. A DLL named by path
// (with '\', '/' or ':') is refused here: the loader would take it from there
// instead of searching the application and system directories.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "security/library_dependencies.h"

namespace holm::security {
namespace {

constexpr uint16_t kDosMagic = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x4550;  // "PE\0\0"
constexpr uint16_t kOptionalPe32 = 0x10B;  // 32-bit optional header
constexpr uint16_t kOptionalPe32Plus = 0x20B;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineI386 = 0x14C;
#if defined(__x86_64__)
constexpr uint16_t kOwnMachine = kMachineAmd64;
constexpr uint16_t kOwnOptionalMagic = kOptionalPe32Plus;
#else
constexpr uint16_t kOwnMachine = kMachineI386;
constexpr uint16_t kOwnOptionalMagic = kOptionalPe32;
#endif
constexpr size_t kDirectoryImport = 1;
constexpr size_t kDirectoryDelayImport = 13;
constexpr size_t kImportDescriptorSize = 20;  // IMAGE_IMPORT_DESCRIPTOR
constexpr size_t kImportNameOffset = 12;
constexpr size_t kDelayDescriptorSize = 32;  // IMAGE_DELAYLOAD_DESCRIPTOR
constexpr size_t kDelayNameOffset = 4;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kMaxSections = 96;  // the loader's own limit
constexpr size_t kMaxDescriptors = 4096;
constexpr size_t kMaxName = 256;  // MAX_PATH-sized DLL names

struct Section {
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawSize = 0;
    uint32_t rawOffset = 0;
};

template <class T>
bool readValue(const LibraryBytes& library, uint64_t offset, T& value) {
    return library.read(offset, &value, sizeof value);
}

class PeImage {
  public:
    explicit PeImage(const LibraryBytes& library) : library_(library) {}

    // Reads the headers; why the file is not an image of this machine.
    std::optional<std::string> open() {
        uint16_t dosMagic = 0;
        uint32_t peOffset = 0;
        if (!readValue(library_, 0, dosMagic) || dosMagic != kDosMagic ||
            !readValue(library_, 0x3C, peOffset)) {
            return "it is not a Windows executable image";
        }
        uint32_t signature = 0;
        uint16_t machine = 0;
        uint16_t sectionCount = 0;
        uint16_t optionalSize = 0;
        uint16_t optionalMagic = 0;
        if (!readValue(library_, peOffset, signature) || signature != kPeSignature ||
            !readValue(library_, uint64_t{peOffset} + 4, machine) ||
            !readValue(library_, uint64_t{peOffset} + 6, sectionCount) ||
            !readValue(library_, uint64_t{peOffset} + 20, optionalSize) ||
            !readValue(library_, uint64_t{peOffset} + 24, optionalMagic)) {
            return "it is not a Windows executable image";
        }
        if (machine != kOwnMachine || optionalMagic != kOwnOptionalMagic) {
            return "it is an image for another machine";
        }
        if (sectionCount > kMaxSections) {
            return "its section table is larger than the loader accepts";
        }
        const uint64_t optional = uint64_t{peOffset} + 24;
        // Where the data directories start and how many there are.
        const uint64_t countAt = optional + (optionalMagic == kOptionalPe32Plus ? 108 : 92);
        uint32_t directoryCount = 0;
        if (!readValue(library_, countAt, directoryCount)) {
            return "its optional header is cut short";
        }
        directories_ = countAt + 4;
        directoryCount_ = directoryCount;
        if (directories_ + uint64_t{directoryCount_} * 8 > optional + optionalSize) {
            return "its data directories run past its optional header";
        }
        const uint64_t sectionTable = optional + optionalSize;
        for (size_t i = 0; i < sectionCount; ++i) {
            const uint64_t at = sectionTable + i * kSectionHeaderSize;
            Section section;
            if (!readValue(library_, at + 8, section.virtualSize) ||
                !readValue(library_, at + 12, section.virtualAddress) ||
                !readValue(library_, at + 16, section.rawSize) ||
                !readValue(library_, at + 20, section.rawOffset)) {
                return "its section table is cut short";
            }
            sections_.push_back(section);
        }
        return std::nullopt;
    }

    // The virtual address of data directory `index`; 0 when it is absent.
    std::optional<uint32_t> directory(size_t index) const {
        uint32_t address = 0;
        uint32_t size = 0;
        if (index >= directoryCount_) {
            return 0;
        }
        if (!readValue(library_, directories_ + index * 8, address) ||
            !readValue(library_, directories_ + index * 8 + 4, size)) {
            return std::nullopt;
        }
        return size == 0 ? 0 : address;
    }

    // The file offset of `length` bytes at virtual address `address`, when
    // one section maps them all from the file.
    std::optional<uint64_t> fileOffset(uint32_t address, uint32_t length) const {
        for (const Section& section : sections_) {
            const uint64_t start = section.virtualAddress;
            const uint64_t mapped = std::min(
                section.virtualSize == 0 ? section.rawSize : section.virtualSize, section.rawSize);
            if (address >= start && uint64_t{address} + length <= start + mapped) {
                return uint64_t{section.rawOffset} + (address - start);
            }
        }
        return std::nullopt;
    }

    // The NUL-terminated name at virtual address `address`.
    std::optional<std::string> name(uint32_t address) const {
        std::string text;
        for (uint32_t i = 0; i <= kMaxName; ++i) {
            const auto at = fileOffset(address + i, 1);
            char c = 0;
            if (!at || !readValue(library_, *at, c)) {
                return std::nullopt;
            }
            if (c == '\0') {
                return text;
            }
            text.push_back(c);
        }
        return std::nullopt;
    }

    bool bytes(uint64_t offset, std::span<uint8_t> out) const {
        return library_.read(offset, out.data(), out.size());
    }

  private:
    const LibraryBytes& library_;
    uint64_t directories_ = 0;
    uint32_t directoryCount_ = 0;
    std::vector<Section> sections_;
};

// Appends the DLL names of one import table (descriptors of `size` bytes
// with the name's address at `nameOffset`, ending with an all-zero one).
std::optional<std::string> readTable(const PeImage& image, uint32_t table, size_t size,
                                     size_t nameOffset, const char* kind,
                                     std::vector<std::string>& names) {
    for (size_t i = 0; i < kMaxDescriptors; ++i) {
        const auto at =
            image.fileOffset(static_cast<uint32_t>(table + i * size), static_cast<uint32_t>(size));
        if (!at) {
            return std::string("its ") + kind + " table runs outside its sections";
        }
        std::vector<uint8_t> descriptor(size);
        uint32_t nameAddress = 0;
        bool allZero = true;
        if (!image.bytes(*at, descriptor)) {
            return std::string("its ") + kind + " table is cut short";
        }
        for (uint8_t byte : descriptor) {
            allZero = allZero && byte == 0;
        }
        if (allZero) {
            return std::nullopt;
        }
        std::memcpy(&nameAddress, descriptor.data() + nameOffset, sizeof nameAddress);
        auto name = image.name(nameAddress);
        if (!name) {
            return std::string("a name in its ") + kind + " table cannot be read";
        }
        if (name->empty() || name->find_first_of("\\/:") != std::string::npos) {
            return "it names its dependency " + quotedName(*name) +
                   " by path: dependencies are only loaded from the application and system "
                   "directories";
        }
        names.push_back(std::move(*name));
    }
    return std::string("its ") + kind + " table has no end";
}

}  // namespace

platform::Result<LibraryRequests, std::string> readLibraryRequests(const LibraryBytes& library) {
    PeImage image(library);
    if (auto why = image.open()) {
        return *why;
    }
    LibraryRequests requests;
    const struct {
        size_t directory;
        size_t descriptorSize;
        size_t nameOffset;
        const char* kind;
    } tables[] = {
        {kDirectoryImport, kImportDescriptorSize, kImportNameOffset, "import"},
        {kDirectoryDelayImport, kDelayDescriptorSize, kDelayNameOffset, "delay-load import"},
    };
    for (const auto& table : tables) {
        const auto address = image.directory(table.directory);
        if (!address) {
            return std::string("its data directories are cut short");
        }
        if (*address == 0) {
            continue;
        }
        requests.dynamic = true;
        if (auto why = readTable(image, *address, table.descriptorSize, table.nameOffset,
                                 table.kind, requests.needed)) {
            return *why;
        }
    }
    return requests;
}

}  // namespace holm::security
