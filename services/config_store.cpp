#include "services/config_store.h"

#include <chrono>
#include <limits>
#include <stdexcept>

#include "common/format.h"
#include "common/utf16.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/process_info.h"
#include "utilities/master_text_reader.h"
#include "utilities/path.h"
#include "utilities/product_settings.h"

namespace holm::services {

namespace {

namespace util = Tandro::Utilities;

constexpr size_t kMaxRecords = std::numeric_limits<int32_t>::max();
constexpr char16_t kSection[] = u"COMMON";

// The host program's file name without extension, in upper case.
std::u16string programStem() {
    std::u16string path = common::utf8ToUtf16(platform::executablePath());
    auto slash = path.find_last_of(u'/');
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    auto dot = name.find_last_of(u'.');
    if (dot != std::u16string::npos && dot != 0) {
        name.resize(dot);
    }
    return common::toUpperAscii(name);
}

uint32_t secondsNow() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

// The parent of a normalised directory ("/a/b/" -> "/a/").
std::u16string parentDirectory(std::u16string_view directory) {
    std::u16string_view trimmed = directory;
    while (!trimmed.empty() && trimmed.back() == u'/') {
        trimmed.remove_suffix(1);
    }
    const size_t slash = trimmed.find_last_of(u'/');
    return slash == std::u16string_view::npos ? std::u16string()
                                              : std::u16string(trimmed.substr(0, slash + 1));
}

std::vector<std::u16string> splitDefault(std::u16string_view text, std::u16string_view separator) {
    std::vector<std::u16string> items;
    if (separator.empty()) {
        return items;
    }
    std::u16string whole(text);
    if (whole.empty() || whole.back() != separator.front()) {
        whole += separator;
    }
    size_t start = 0;
    for (size_t at = whole.find(separator); at != std::u16string::npos;
         at = whole.find(separator, start)) {
        items.push_back(whole.substr(start, at - start));
        start = at + separator.size();
    }
    return items;
}

// Equal with A-Z folded; a name asked again is most often spelt the same.
bool sameName(std::u16string_view recorded, std::u16string_view asked) {
    return recorded.size() == asked.size() &&
           (common::equalUnits(recorded, asked) || common::equalsNoCase(recorded, asked));
}

std::u16string joined(const std::vector<std::u16string>& items) {
    std::u16string all;
    for (const auto& item : items) {
        all += item;
    }
    return all;
}

}  // namespace

// The lengths and the end units of the names, which tell apart the keys of
// one section ("Count1", "Count2") at once; equal hashes still compare the
// names whole.
uint32_t ReadRecord::hashOf(Form form, std::u16string_view name, std::u16string_view key) {
    const auto last = [](std::u16string_view text) -> uint32_t {
        return text.empty() ? 0 : common::foldCase(text.back());
    };
    const auto first = [](std::u16string_view text) -> uint32_t {
        return text.empty() ? 0 : common::foldCase(text.front());
    };
    uint32_t hash = static_cast<uint32_t>(form);
    hash = hash * 31 + static_cast<uint32_t>(name.size());
    hash = hash * 31 + static_cast<uint32_t>(key.size());
    hash = hash * 31 + last(name);
    hash = hash * 31 + first(key);
    return hash * 31 + last(key);
}

CConfigStore::CConfigStore(const util::IProductSettings& settings,
                           std::shared_ptr<const util::IMasterTextReader> masterTexts,
                           CCfgLibBinding& binding)
    : masterTexts_(std::move(masterTexts)),
      binding_(binding),
      registryKey_(settings.getProductRegistryKey()),
      productDirectory_(settings.getProductDirectory()),
      dataDirectory_(settings.getDataDirectory()),
      configurationFile_(settings.getConfigurationFile()),
      tempFolderPattern_(programStem() + u"_%08x/") {
    librarySource_.libraryPath = common::utf16ToUtf8(resolveFileName(u"#FN_CFGLIB"));
    librarySource_.productDirectory = common::utf16ToUtf8(productDirectory_);
    binding_.setConfigurationFile(configurationFile_);
}

CConfigStore::~CConfigStore() {
    common::MutexLock guard(tempLock_);
    releaseTempDirectory();
}

std::u16string CConfigStore::readString(std::u16string_view section, std::u16string_view key,
                                        std::u16string_view defaultValue) {
    std::u16string value;
    readStringInto(section, key, defaultValue, value);
    return value;
}

void CConfigStore::readStringInto(std::u16string_view section, std::u16string_view key,
                                  std::u16string_view defaultValue, std::u16string& out) {
    const LibraryText fallback(defaultValue);
    if (!binding_.readStringInto(librarySource_, LibraryText(section, key), fallback, out)) {
        out.assign(fallback);
    }
}

int32_t CConfigStore::readInt(std::u16string_view section, std::u16string_view key,
                              int32_t defaultValue) {
    return binding_.readInt(librarySource_, LibraryText(section, key), defaultValue)
        .value_or(defaultValue);
}

uint32_t CConfigStore::readHex(std::u16string_view section, std::u16string_view key,
                               uint32_t defaultValue) {
    return binding_.readHex(librarySource_, LibraryText(section, key), defaultValue)
        .value_or(defaultValue);
}

std::vector<std::u16string> CConfigStore::readList(std::u16string_view section,
                                                   std::u16string_view key,
                                                   std::u16string_view defaultValue,
                                                   std::u16string_view separator) {
    auto items =
        binding_.readList(librarySource_, LibraryText(section, key), defaultValue, separator);
    return items ? std::move(*items) : splitDefault(defaultValue, separator);
}

std::u16string CConfigStore::normaliseDirectory(std::u16string_view directory) {
    return util::Path::NormaliseDirectory(directory);
}

std::u16string CConfigStore::appDataSubDir(std::u16string_view name, bool create) {
    std::u16string path =
        normaliseDirectory(normaliseDirectory(dataDirectory_) + std::u16string(name));
    if (create) {
        (void)platform::makeDirectory(common::utf16ToUtf8(path), 0700);  // it may exist
    }
    return path;
}

std::u16string CConfigStore::tempBase() {
    const int32_t useSystemTemp = readInt(kSection, u"UseSystemTempPath", 0);
    std::u16string base = readString(kSection, u"TempDirectory", appDataSubDir(u"TEMP"));
    if (useSystemTemp == 1) {
        base = common::utf8ToUtf16(platform::temporaryDirectory());
    }
    return normaliseDirectory(base);
}

std::u16string CConfigStore::reportPath(std::u16string_view fileName) {
    std::u16string path = readString(kSection, u"ReportDirectory", appDataSubDir(u"LOGFILES"));
    path += fileName;
    return path;
}

std::u16string CConfigStore::tempDirectory() {
    // Read before the lock: the library is never called under it.
    const std::u16string base = tempBase();
    common::MutexLock guard(tempLock_);
    if (!tempDirectory_.empty() && !platform::isDirectory(common::utf16ToUtf8(tempDirectory_))) {
        // Removed while in use (a cleaner, an operator): made again below,
        // under a new name, the same way as at first.
        releaseTempDirectory();
        tempDirectory_.clear();
    }
    if (tempDirectory_.empty()) {
        tempRoot_ = base;
        tempDirectory_ = chooseTempDirectory(tempRoot_);
    }
    return tempDirectory_;
}

std::u16string CConfigStore::currentTempDirectory() {
    common::MutexLock guard(tempLock_);
    return tempDirectory_;
}

// The folder is made complete under a private name (owner-only, with the
// instance lock taken inside) and only then renamed to its public name,
// which must not exist yet. Another instance's stale-folder removal thus
// never sees the public folder without its lock held. A name already taken
// moves on to the next number.
std::u16string CConfigStore::chooseTempDirectory(const std::u16string& base) {
    constexpr int kAttempts = 1000;
    const std::u16string privateName =
        base + common::format(u".holm-new-%u/", platform::currentProcessId());
    const std::string privatePath = common::utf16ToUtf8(privateName);
    (void)platform::removeTreeSafely(privatePath);  // a leftover of a crashed start
    // A configured base that is missing is made, following no link that
    // someone else could have planted on the way.
    if (!platform::isDirectory(common::utf16ToUtf8(base)) &&
        !platform::makeDirectoryChain(common::utf16ToUtf8(base), 0700)) {
        return {};
    }
    if (!platform::makeDirectory(privatePath, 0700)) {
        return {};
    }
    auto lock = platform::FileLock::acquire(privatePath + common::utf16ToUtf8(kInstanceLockName));
    if (!lock) {
        (void)platform::removeTreeSafely(privatePath);
        return {};
    }
    uint32_t stamp = secondsNow();
    for (int attempt = 0; attempt < kAttempts; ++attempt, ++stamp) {
        const std::u16string path = base + common::formatRuntime(tempFolderPattern_, stamp);
        const platform::Status renamed =
            platform::renameNoReplace(privatePath, common::utf16ToUtf8(path));
        if (renamed) {
            instanceLock_ = std::move(*lock);
            return path;
        }
        if (renamed.error().windowsError() != platform::WinError::kAlreadyExists) {
            break;
        }
    }
    (void)platform::removeTreeSafely(privatePath);
    return {};
}

// Drops the instance lock file so that the folder, once empty, can go.
void CConfigStore::releaseTempDirectory() {
    if (instanceLock_ && !tempDirectory_.empty()) {
        // A lock file already gone is what is wanted.
        (void)platform::removeFile(common::utf16ToUtf8(tempDirectory_ + kInstanceLockName));
    }
    instanceLock_.reset();
}

std::u16string CConfigStore::resolveFileName(std::u16string_view name) const {
    if (!name.empty() && name.front() == u'#') {
        std::u16string mapped = masterTexts_ ? masterTexts_->getText(name) : std::u16string();
        return mapped.empty() ? mapped : util::Path::Combine(productDirectory_, mapped);
    }
    return util::Path::Combine(productDirectory_, name);
}

void CConfigStore::reload() {
    binding_.reload();
    if (currentTempDirectory().empty()) {
        return;
    }
    const std::u16string base = tempBase();
    common::MutexLock guard(tempLock_);
    if (!tempDirectory_.empty() && !common::equalsNoCase(base, tempRoot_)) {
        releaseTempDirectory();
        tempDirectory_.clear();
    }
}

ReadRecord& CConfigStore::recordOf(const void* object, ReadRecord::Form form,
                                   std::u16string_view name, std::u16string_view key,
                                   std::u16string_view defaultValue, int32_t defaultNumber,
                                   std::u16string_view extra) {
    // An object mostly reads several values in a row: its list is kept at
    // hand (a map's element stays where it is until erased).
    if (object != lastObject_) {
        lastList_ = &records_[object];
        lastObject_ = object;
    }
    auto& list = *lastList_;
    const uint32_t hash = ReadRecord::hashOf(form, name, key);
    const bool number = ReadRecord::isNumber(form);
    for (auto& existing : list) {
        if (existing.hash == hash && existing.form == form && sameName(existing.key, key) &&
            sameName(existing.name, name) &&
            (number ? existing.defaultNumber == defaultNumber
                    : sameName(existing.defaultValue, defaultValue) &&
                          sameName(existing.extra, extra))) {
            return existing;
        }
    }
    if (list.size() >= kMaxRecords) {
        throw std::length_error("list<T> too long");
    }
    ReadRecord& made = list.emplace_back();
    made.form = form;
    made.name = name;
    made.key = key;
    made.defaultValue = defaultValue;
    made.extra = extra;
    made.defaultNumber = defaultNumber;
    made.hash = hash;
    return made;
}

void CConfigStore::recordText(const void* object, ReadRecord::Form form, std::u16string_view name,
                              std::u16string_view key, std::u16string_view defaultValue,
                              std::u16string_view value, std::u16string_view extra) {
    binding_.underLock([&] {
        binding_.mutex().assertHeld();  // the body runs under underLock
        ReadRecord& record = recordOf(object, form, name, key, defaultValue, 0, extra);
        if (!common::equalUnits(record.value, value)) {
            record.value = value;
        }
    });
}

void CConfigStore::readStringRecorded(const void* object, std::u16string_view section,
                                      std::u16string_view key, std::u16string_view defaultValue,
                                      std::u16string& out) {
    const LibraryText fallback(defaultValue);
    const LibraryText path(section, key);
    binding_.underLock([&] {
        binding_.mutex().assertHeld();  // the body runs under underLock
        if (!binding_.readStringIntoHeld(librarySource_, path, fallback, out)) {
            out.assign(fallback);
        }
        // The names and the default as copied before the read: `out` may be
        // where the caller's texts were.
        const std::u16string_view copied(path);
        ReadRecord& record =
            recordOf(object, ReadRecord::Form::Text, copied.substr(0, section.size()),
                     copied.substr(section.size() + 1), std::u16string_view(fallback), 0, {});
        if (!common::equalUnits(record.value, out)) {
            record.value = out;
        }
    });
}

int32_t CConfigStore::readIntRecorded(const void* object, ReadRecord::Form form,
                                      std::u16string_view section, std::u16string_view key,
                                      int32_t defaultValue) {
    const LibraryText path(section, key);
    return binding_.underLock([&] {
        binding_.mutex().assertHeld();  // the body runs under underLock
        const int32_t value =
            binding_.readIntHeld(librarySource_, path, defaultValue).value_or(defaultValue);
        recordOf(object, form, section, key, {}, defaultValue, {}).number = value;
        return value;
    });
}

uint32_t CConfigStore::readHexRecorded(const void* object, std::u16string_view section,
                                       std::u16string_view key, uint32_t defaultValue) {
    const LibraryText path(section, key);
    return binding_.underLock([&] {
        binding_.mutex().assertHeld();  // the body runs under underLock
        const uint32_t value =
            binding_.readHexHeld(librarySource_, path, defaultValue).value_or(defaultValue);
        recordOf(object, ReadRecord::Form::Hex, section, key, {},
                 static_cast<int32_t>(defaultValue), {})
            .number = static_cast<int32_t>(value);
        return value;
    });
}

std::vector<ReadRecord> CConfigStore::recordsOf(const void* object) const {
    return binding_.underLock([&] {
        binding_.mutex().assertHeld();  // the body runs under underLock
        auto found = records_.find(object);
        return found == records_.end() ? std::vector<ReadRecord>() : found->second;
    });
}

// The records are copied under the binding's lock and read again one by
// one: a reader waits for no more than one value's read.
bool CConfigStore::changed(const void* object) {
    for (const ReadRecord& record : recordsOf(object)) {
        if (!stillReads(record)) {
            return true;
        }
    }
    return false;
}

bool CConfigStore::stillReads(const ReadRecord& record) {
    switch (record.form) {
        case ReadRecord::Form::Text:
        case ReadRecord::Form::Scrambled:
            // A scrambled record keeps the stored form (see CConfigImplEx).
            return common::equalsNoCase(readString(record.name, record.key, record.defaultValue),
                                        record.value);
        case ReadRecord::Form::Int:
        case ReadRecord::Form::Bool:
            return readInt(record.name, record.key, record.defaultNumber) == record.number;
        case ReadRecord::Form::Hex:
            return static_cast<int32_t>(readHex(record.name, record.key,
                                                static_cast<uint32_t>(record.defaultNumber))) ==
                   record.number;
        case ReadRecord::Form::List: {
            const std::u16string separator = record.extra == u"@empty@" ? u"" : record.extra;
            return common::equalsNoCase(
                joined(readList(record.name, record.key, record.defaultValue, separator)),
                record.value);
        }
        case ReadRecord::Form::AppDataSubDir:
            return common::equalsNoCase(appDataSubDir(record.key, false), record.value);
        case ReadRecord::Form::TempDir:
            return common::equalsNoCase(parentDirectory(record.value), tempBase());
    }
    return true;
}

void CConfigStore::forget(const void* object) {
    handlers_.removeWhere(
        [object](const ConfigHandlerPair& pair) { return pair.object == object; });
    binding_.underLock([&] {
        binding_.mutex().assertHeld();  // the body runs under underLock
        records_.erase(object);
        if (object == lastObject_) {
            lastObject_ = nullptr;
            lastList_ = nullptr;
        }
    });
}

}  // namespace holm::services
