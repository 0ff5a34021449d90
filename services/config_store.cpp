#include "services/config_store.h"

#include <chrono>

#include "common/format.h"
#include "common/utf16.h"
#include "platform/file_system.h"
#include "platform/process_info.h"
#include "utilities/master_text_reader.h"
#include "utilities/path.h"
#include "utilities/product_settings.h"

namespace holm::services {

namespace {

namespace util = Tandro::Utilities;

// The host program's file name without extension, in upper case.
std::u16string programStem() {
    std::u16string path = text::utf8ToUtf16(platform::executablePath());
    auto slash = path.find_last_of(u'/');
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    auto dot = name.find_last_of(u'.');
    if (dot != std::u16string::npos && dot != 0) {
        name.resize(dot);
    }
    return text::toUpperAscii(name);
}

uint32_t secondsNow() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

CConfigStore::CConfigStore(const util::IProductSettings& settings,
                           std::shared_ptr<const util::IMasterTextReader> masterTexts)
    : masterTexts_(std::move(masterTexts)),
      registryKey_(settings.getProductRegistryKey()),
      productDirectory_(settings.getProductDirectory()),
      dataDirectory_(settings.getDataDirectory()),
      configurationFile_(settings.getConfigurationFile()),
      tempFolderPattern_(programStem() + u"_%08x/") {}

int32_t CConfigStore::readInt(std::u16string_view, std::u16string_view, int32_t defaultValue) {
    return defaultValue;
}

std::u16string CConfigStore::readString(std::u16string_view, std::u16string_view,
                                        std::u16string_view defaultValue) {
    return std::u16string(defaultValue);
}

std::u16string CConfigStore::normaliseDirectory(std::u16string_view directory) {
    return util::Path::NormaliseDirectory(directory);
}

std::u16string CConfigStore::appDataSubDir(std::u16string_view name) {
    std::u16string path =
        normaliseDirectory(normaliseDirectory(dataDirectory_) + std::u16string(name));
    // An existing folder is what is wanted; one that cannot be made shows
    // when it is used.
    (void)platform::makeDirectory(text::utf16ToUtf8(path), 0700);
    return path;
}

std::u16string CConfigStore::tempBase() {
    const int32_t useSystemTemp = readInt(u"COMMON", u"UseSystemTempPath", 0);
    std::u16string base = readString(u"COMMON", u"TempDirectory", appDataSubDir(u"TEMP"));
    if (useSystemTemp == 1) {
        base = text::utf8ToUtf16(platform::temporaryDirectory());
    }
    return normaliseDirectory(base);
}

std::u16string CConfigStore::tempDirectory() {
    std::lock_guard guard(lock_);
    if (tempDirectory_.empty()) {
        tempRoot_ = tempBase();
        tempDirectory_ = createTempDirectory(tempRoot_);
    }
    return tempDirectory_;
}

// Creating the folder is the test for its existence: a name already taken
// moves on to the next number instead of checking first and racing.
std::u16string CConfigStore::createTempDirectory(const std::u16string& base) {
    constexpr int kAttempts = 1000;
    uint32_t stamp = secondsNow();
    std::u16string path;
    for (int attempt = 0; attempt < kAttempts; ++attempt, ++stamp) {
        path = base + text::formatRuntime(tempFolderPattern_, stamp);
        const platform::Status created = platform::makeDirectory(text::utf16ToUtf8(path), 0700);
        if (created) {
            // Without the lock the folder is still usable; it only loses its
            // protection from another instance's clean-up.
            auto lock = platform::FileLock::acquire(text::utf16ToUtf8(path + kInstanceLockName));
            if (lock) {
                instanceLock_ = std::move(*lock);
            } else {
                instanceLock_.reset();
            }
            return path;
        }
        if (created.error().errnoValue() != EEXIST) {
            break;  // only a name in use is worth another attempt
        }
    }
    return path;
}

std::u16string CConfigStore::resolveFileName(std::u16string_view name) const {
    if (!name.empty() && name.front() == u'#') {
        std::u16string mapped = masterTexts_ ? masterTexts_->getText(name) : std::u16string();
        return mapped.empty() ? mapped : util::Path::Combine(productDirectory_, mapped);
    }
    return util::Path::Combine(productDirectory_, name);
}

}  // namespace holm::services
