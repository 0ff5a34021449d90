#include "utilities/master_text_reader.h"

#include "common/utf16.h"
#include "utilities/path.h"

namespace Tandro::Utilities {
namespace {

std::u16string foldAtoZ(std::u16string_view text) {
    std::u16string folded(text);
    for (char16_t& unit : folded) {
        if (unit >= u'a' && unit <= u'z') {
            unit = static_cast<char16_t>(unit - u'a' + u'A');
        }
    }
    return folded;
}

}  // namespace

MasterTextReader::MasterTextReader(const ResourceTextFile& library) {
    for (uint32_t id = kFirstEntry; id <= kLastEntry; ++id) {
        const auto entry = library.find(id);
        if (!entry || entry->empty()) {
            continue;
        }
        const size_t first = entry->find(u'$');
        const size_t second = first == std::u16string::npos ? first : entry->find(u'$', first + 1);
        if (second == std::u16string::npos) {
            throw MasterTextError("master text entry " + std::to_string(id) +
                                  " lacks the form text$NAME$value");
        }
        values_.emplace(foldAtoZ(std::u16string_view(*entry).substr(first + 1, second - first - 1)),
                        entry->substr(second + 1));
    }
}

std::shared_ptr<MasterTextReader> MasterTextReader::openInDirectory(
    std::u16string_view productDirectory) {
    const auto path = holm::common::utf16ToUtf8(Path::Combine(productDirectory, kLibraryName));
    try {
        using namespace holm::security;
        return std::make_shared<MasterTextReader>(
            ResourceTextFile(VerifiedData::open(path, TrustStore::system(), FileRole::Product)));
    } catch (const MasterTextError& error) {
        throw MasterTextError(path + ": " + error.what());
    } catch (const ResourceFileError& error) {
        throw MasterTextError(error.what());
    }
}

std::u16string MasterTextReader::getText(std::u16string_view name) const {
    return find(name).value_or(std::u16string());
}

std::optional<std::u16string> MasterTextReader::find(std::u16string_view name) const {
    const auto found = values_.find(foldAtoZ(name));
    return found == values_.end() ? std::nullopt : std::optional(found->second);
}

}  // namespace Tandro::Utilities
