// holm-rcgen TABLE OUTPUT
//
// Reads a resource table source (UTF-8, "ID<tab>text" lines) and writes the
// resource text file built from it. The output appears complete or not at
// all: it is written beside the target and renamed into place.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "utilities/resource_table.h"
#include "utilities/resource_text_file.h"

namespace {

std::string readWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAtomically(const std::filesystem::path& path, const std::vector<std::byte>& bytes) {
    auto temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            throw std::runtime_error("cannot write " + temporary.string());
        }
    }
    std::filesystem::rename(temporary, path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: holm-rcgen TABLE OUTPUT\n");
        return 2;
    }
    try {
        const auto texts = Tandro::Utilities::parseResourceTable(readWhole(argv[1]));
        writeAtomically(argv[2], Tandro::Utilities::ResourceTextFile::encode(texts));
    } catch (const Tandro::Utilities::ResourceTableError& error) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "holm-rcgen: %s\n", error.what());
        return 1;
    }
    return 0;
}
