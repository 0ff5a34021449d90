#include "services/res_string2.h"

#include <cstdarg>
#include <exception>

#include "common/format.h"
#include "common/utf16.h"
#include "security/product_files.h"
#include "security/verified_data.h"
#include "utilities/path.h"

namespace holm::services {
namespace {

namespace util = Tandro::Utilities;

}  // namespace

std::shared_ptr<const util::ResourceTextReader> ResString2::reader() const {
    common::MutexLock hold(lock_);
    return reader_;
}

std::u16string ResString2::masterText(std::u16string_view name) const {
    return product_.masterTexts ? product_.masterTexts->getText(name) : std::u16string();
}

std::u16string ResString2::getMasterText(const char16_t* name) {
    return masterText(common::viewOf(name));
}

std::u16string ResString2::loadString(uint32_t id) {
    const auto current = reader();
    return current ? current->LoadStringW(id) : std::u16string();
}

std::u16string ResString2::formatMasterText(const char16_t* name, ...) {
    va_list arguments;
    va_start(arguments, name);
    std::u16string text = common::vformatPrintfOrEmpty(masterText(common::viewOf(name)), arguments);
    va_end(arguments);
    return text;
}

std::u16string ResString2::formatString(uint32_t id, ...) {
    const std::u16string format = loadString(id);
    va_list arguments;
    va_start(arguments, id);
    std::u16string text = common::vformatOrEmpty(format, arguments);
    va_end(arguments);
    return text;
}

std::u16string ResString2::getFilePath(const char16_t* name) {
    const std::u16string_view given = common::viewOf(name);
    if (!given.empty() && given.front() == u'#') {
        const std::u16string mapped = masterText(given);
        return mapped.empty() ? mapped : util::Path::Combine(product_.productDirectory, mapped);
    }
    return util::Path::Combine(product_.productDirectory, given);
}

// A relative path is taken in the product directory, never in whatever the
// service's working directory happens to be. A plugin's own library needs a
// signature of a plugin's (product or enrolled key); the product's own
// message library, whoever binds it, the product key.
bool ResString2::setResourceLibrary(const char16_t* path) {
    try {
        const std::string full = common::utf16ToUtf8(
            util::Path::Combine(product_.productDirectory, common::viewOf(path)));
        const security::FileRole role = security::roleOfFile(
            full, common::utf16ToUtf8(product_.productDirectory), security::FileRole::Plugin);
        security::VerifiedData data = security::VerifiedData::open(
            full, product_.trust ? *product_.trust : security::TrustStore::system(), role);
        if (!data.passed()) {
            if (product_.log) {
                product_.log(u"resource library refused: " + common::utf8ToUtf16(data.message()));
            }
            return false;
        }
        auto created = std::make_shared<const util::ResourceTextReader>(
            util::ResourceTextFile(std::move(data)));
        common::MutexLock hold(lock_);
        reader_ = std::move(created);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::u16string ResString2::getProductRegistryKey() {
    return reader() ? product_.productRegistryKey : std::u16string();
}

}  // namespace holm::services
