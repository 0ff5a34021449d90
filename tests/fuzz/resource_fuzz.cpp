// Feeds arbitrary bytes to the resource text file reader, the master text
// parser on top of it, and the table source parser. Most inputs get a valid
// header (and some a plausible entry table) so that the texts are reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "utilities/master_text_reader.h"
#include "utilities/resource_table.h"
#include "utilities/resource_text_file.h"

namespace {

using namespace Tandro::Utilities;

void readEverything(std::span<const std::byte> bytes) {
    try {
        const ResourceTextFile file(bytes);
        for (size_t i = 0; i < file.size(); ++i) {
            if (!file.find(file.idAt(i))) {
                __builtin_trap();  // a listed id must be found
            }
        }
        file.find(0);
        file.find(0xFFFFFFFF);
        try {
            const MasterTextReader masters(file);
            masters.getText(u"#FN_CFGLIB");
        } catch (const MasterTextError&) {
        }
    } catch (const ResourceFileError&) {
    }
}

// A file whose entry table is made from small numbers taken from the input,
// so that ranges near the file's end are hit without coverage guidance.
std::vector<std::byte> smallNumberFile(const uint8_t* data, size_t size) {
    const size_t count = size / 4;
    std::vector<std::byte> file(ResourceTextFile::kHeaderSize +
                                count * ResourceTextFile::kEntrySize + size);
    const auto put = [&file](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            file[at + i] = static_cast<std::byte>(value >> (8 * i));
        }
    };
    std::memcpy(file.data(), ResourceTextFile::kMagic, 8);
    put(8, ResourceTextFile::kVersion);
    put(12, static_cast<uint32_t>(count));
    uint32_t id = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = data + 4 * i;
        id += entry[0] % 4;  // 0 makes a duplicate id
        const size_t at = ResourceTextFile::kHeaderSize + i * ResourceTextFile::kEntrySize;
        put(at, id);
        put(at + 4, static_cast<uint32_t>(file.size() - entry[1] % (size + 2)));
        put(at + 8, entry[2] % 64);
    }
    std::memcpy(file.data() + file.size() - size, data, size);
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* bytes = reinterpret_cast<const std::byte*>(data);
    if (size > 0 && data[0] % 3 == 1) {
        // Magic and version, then the input from its second byte on as count,
        // entry table and texts; an exact-size buffer keeps over-reads visible.
        std::vector<std::byte> withHeader(12 + size - 1);
        std::memcpy(withHeader.data(), ResourceTextFile::kMagic, 8);
        withHeader[8] = std::byte{1};
        std::memcpy(withHeader.data() + 12, bytes + 1, size - 1);
        readEverything(withHeader);
    } else if (size > 0 && data[0] % 3 == 2) {
        readEverything(smallNumberFile(data + 1, size - 1));
    } else {
        readEverything({bytes, size});
    }
    try {
        parseResourceTable(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const ResourceTableError&) {
    }
    return 0;
}
