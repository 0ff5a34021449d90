// holm-text: shows the texts of resource text files.
//
//   holm-text [--product-dir DIR]              both product files, all texts
//   holm-text [--product-dir DIR] FILE [ID]    one file, all texts or one
//   holm-text [--product-dir DIR] --master NAME   the value of a master text
//
// Texts are printed as "ID<tab>text" in UTF-8, escaped like a table source
// ("\n", "\t", "\\"), so a listing can be pasted back into a table. The
// product directory is --product-dir, else HOLM_PRODUCT_DIR, else the
// directory of this program. Files are read as the host reads them, after
// their signature is checked: the product's files against the product key, a
// FILE named on the command line against any trusted key.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf16.h"
#include "security/trust_store.h"
#include "security/verified_data.h"
#include "utilities/master_text_reader.h"
#include "utilities/path.h"
#include "utilities/product_settings.h"
#include "utilities/resource_table.h"
#include "utilities/resource_text_file.h"

namespace holm::product {
namespace {

using namespace Tandro::Utilities;

struct Options {
    std::string productDirectory;
    std::optional<std::string> masterName;
    std::vector<std::string> operands;  // FILE [ID]
};

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: holm-text [--product-dir DIR] [FILE [ID]]\n"
                 "       holm-text [--product-dir DIR] --master NAME\n");
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if ((argument == "--product-dir" || argument == "--master") && i + 1 < argc) {
            (argument == "--master" ? options.masterName.emplace() : options.productDirectory) =
                argv[++i];
        } else if (argument == "--help" || argument.starts_with("--")) {
            usage();
        } else {
            options.operands.emplace_back(argument);
        }
    }
    if (options.operands.size() > 2 || (options.masterName && !options.operands.empty())) {
        usage();
    }
    return options;
}

// The directory of this program, as the product directory of a build or an
// installation.
std::string programDirectory(const char* argv0) {
    const std::filesystem::path self(argv0);
    return self.has_parent_path() ? std::filesystem::absolute(self).parent_path().string() : ".";
}

void printText(uint32_t id, const std::u16string& text) {
    std::printf("%u\t%s\n", id, escapeResourceText(text).c_str());
}

using holm::security::FileRole;

ResourceTextFile readVerified(const std::string& path, FileRole role) {
    return ResourceTextFile(
        holm::security::VerifiedData::open(path, holm::security::TrustStore::system(), role));
}

void listFile(const std::string& path, FileRole role) {
    const auto file = readVerified(path, role);
    std::printf("# %s: %zu texts\n", path.c_str(), file.size());
    for (size_t i = 0; i < file.size(); ++i) {
        const uint32_t id = file.idAt(i);
        printText(id, *file.find(id));
    }
}

int showText(const std::string& path, std::string_view idText) {
    uint32_t id = 0;
    const auto [end, error] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    if (error != std::errc() || end != idText.data() + idText.size()) {
        usage();
    }
    const auto text = readVerified(path, FileRole::Plugin).find(id);
    if (!text) {
        std::fprintf(stderr, "holm-text: %s has no text %u\n", path.c_str(), id);
        return 1;
    }
    printText(id, *text);
    return 0;
}

int showMaster(const std::u16string& productDirectory, const std::string& name) {
    const auto value = MasterTextReader::openInDirectory(productDirectory)
                           ->getText(holm::common::utf8ToUtf16(name));
    if (value.empty()) {
        std::fprintf(stderr, "holm-text: no master text %s\n", name.c_str());
        return 1;
    }
    std::printf("%s\n", holm::common::utf16ToUtf8(value).c_str());
    return 0;
}

}  // namespace
}  // namespace holm::product

int main(int argc, char** argv) {
    using namespace holm::product;
    const Options options = parseOptions(argc, argv);
    // An explicit --product-dir wins over HOLM_PRODUCT_DIR, which wins over
    // the program's own directory.
    const std::u16string productDirectory =
        options.productDirectory.empty()
            ? ProductSettings(holm::common::utf8ToUtf16(programDirectory(argv[0])))
                  .getProductDirectory()
            : Path::NormaliseDirectory(holm::common::utf8ToUtf16(options.productDirectory));
    try {
        if (options.masterName) {
            return showMaster(productDirectory, *options.masterName);
        }
        if (options.operands.size() == 2) {
            return showText(options.operands[0], options.operands[1]);
        }
        if (options.operands.size() == 1) {
            listFile(options.operands[0], FileRole::Plugin);
            return 0;
        }
        for (const char16_t* name : {MasterTextReader::kLibraryName, u"holmmsg.dll"}) {
            listFile(holm::common::utf16ToUtf8(Path::Combine(productDirectory, name)),
                     FileRole::Product);
            std::printf("\n");
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "holm-text: %s\n", error.what());
        return 1;
    }
    return 0;
}
