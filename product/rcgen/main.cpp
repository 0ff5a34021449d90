// holm-rcgen TABLE OUTPUT
//
// Reads a resource table source (UTF-8, "ID<tab>text" lines) and writes the
// resource text file built from it. The output appears complete or not at
// all: it is written beside the target and renamed into place.
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/atomic_file.h"
#include "platform/io.h"
#include "utilities/resource_table.h"
#include "utilities/resource_text_file.h"

namespace holm::product {
namespace {

std::string readWhole(const std::filesystem::path& path) {
    // A table source is text of a few hundred kilobytes at most.
    constexpr size_t kLimit = 64 * 1024 * 1024;
    auto content = holm::platform::io::readSmallFile(path.string(), kLimit);
    if (!content) {
        throw std::runtime_error("cannot read " + path.string() + ": " + content.error().message());
    }
    return std::move(*content);
}

void writeAtomically(const std::filesystem::path& path, const std::vector<std::byte>& bytes) {
    const auto written = holm::platform::replaceFileAtomically(
        path.string(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!written) {
        throw std::runtime_error("cannot write " + path.string() + ": " +
                                 written.error().message());
    }
}

}  // namespace
}  // namespace holm::product

int main(int argc, char** argv) {
    using namespace holm::product;
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
