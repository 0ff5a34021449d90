#include "containers/ini_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <mutex>

#include "common/decimal.h"
#include "common/format.h"
#include "common/utf16.h"
#include "containers/held_file_replace.h"
#include "containers/link_refusals.h"
#include "containers/string_list.h"
#include "containers/text_file.h"
#include "platform/atomic_file.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/io.h"

namespace holm::containers {

namespace {

namespace io = holm::platform::io;

// Runs `operation`; what it raises (memory, mostly) gives `fallback`:
// nothing is thrown to the plugin that called.
template <typename Result, typename Operation>
Result guarded(Result fallback, Operation operation) {
    try {
        return operation();
    } catch (...) {
        return fallback;
    }
}

std::string pathOf(std::u16string_view path) {
    return holm::common::utf16ToUtf8(path);
}

// Edits of one path by objects of this process take turns before they open
// the file. Where the system cannot replace a file that is held open, a
// writer lets go of its lock for the rename (see replaceHeldFile); another
// writer of this process must neither read the old content in that moment
// (and then replace the new file with its edit of the old) nor hold the
// file open then (which would refuse the rename). Paths that fall on one
// slot share it, which only serializes more. A turn is held for one edit,
// whose own waits for the file's lock are bounded, so waiting for it is too.
std::mutex& profileTurnFor(const std::string& path) {
    static std::array<std::mutex, 16> turns;
    return turns[std::hash<std::string>{}(path) % turns.size()];
}

// Applies `change` to the profile file at `path` and replaces the file
// atomically. The lock is taken on the file as it is; when another writer
// replaced it meanwhile, the lock is on a file no longer at the path, and
// the edit starts again on the new one.
bool editProfile(const std::string& path, const std::function<bool(IniProfile&)>& change) {
    constexpr int kAttempts = 16;
    std::lock_guard turn(profileTurnFor(path));
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        auto file = io::open(path, {.nonBlocking = true});
        if (!file) {
            if (file.error().windowsError() != holm::platform::WinError::kFileNotFound) {
                return false;
            }
            IniProfile fresh;
            if (!change(fresh)) {
                return false;
            }
            const std::string bytes = fresh.bytes();
            return bytes.empty() || holm::platform::replaceFileAtomically(path, bytes);
        }
        auto info = holm::platform::statDescriptor(file->get());
        if (!info || info->type != holm::platform::FileType::kRegular ||
            info->size > CIniFileImpl::kMaxProfileFileSize) {
            return false;
        }
        // A writer, or an open text file, holding the file for longer than
        // the bounded wait makes this edit fail rather than hang.
        auto locked = io::lockExclusiveBefore(file->get(), io::deadlineIn(io::kWriterLockWait));
        if (!locked || !*locked) {
            return false;
        }
        auto now = holm::platform::statPath(path);
        if (!now || now->device != info->device || now->inode != info->inode) {
            continue;
        }
        auto content = io::readWholeFile(file->get(), CIniFileImpl::kMaxProfileFileSize, now->size);
        if (!content) {
            return false;
        }
        const std::string before(reinterpret_cast<const char*>(content->data()), content->size());
        IniProfile profile = IniProfile::parse(before);
        if (!change(profile)) {
            return false;
        }
        std::string after = profile.bytes();
        return after == before || replaceHeldFile(path, after, *file);
    }
    return false;
}

bool isCSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// Scans a hexadecimal number as "%08x" does (white space, then at most 8
// characters of sign, "0x" prefix and digits), after the literal "0x" when
// `literalPrefix`. nullopt when no number is found.
std::optional<uint32_t> scanHex(std::u16string_view text, bool literalPrefix) {
    size_t at = 0;
    if (literalPrefix) {
        if (!text.starts_with(u"0x")) {
            return std::nullopt;
        }
        at = 2;
    }
    while (at < text.size() && isCSpace(text[at])) {
        ++at;
    }
    const size_t end = std::min(text.size(), at + 8);
    bool negative = false;
    if (at < end && (text[at] == u'+' || text[at] == u'-')) {
        negative = text[at] == u'-';
        ++at;
    }
    bool found = false;
    if (at + 1 < end && text[at] == u'0' && holm::common::foldCase(text[at + 1]) == u'x') {
        at += 2;
        found = true;  // the 0 of the prefix, should no digit follow
    }
    uint32_t value = 0;
    for (; at < end && holm::common::hexDigitValue(text[at]) >= 0; ++at) {
        value = value * 16 + static_cast<uint32_t>(holm::common::hexDigitValue(text[at]));
        found = true;
    }
    if (!found) {
        return std::nullopt;
    }
    return negative ? 0u - value : value;
}

// The list's strings; empty when it cannot be walked (nullopt).
std::optional<std::vector<std::u16string>> stringsOf(HlmPlg::IStringList& list) {
    HlmPlg::IStringList::Iterator* iterator = list.createIterator();
    if (iterator == nullptr) {
        return std::nullopt;
    }
    std::vector<std::u16string> strings;
    try {
        for (const char16_t* text = iterator->first(); text != nullptr; text = iterator->next()) {
            strings.emplace_back(text);
        }
    } catch (...) {
        list.releaseIterator(iterator);
        throw;
    }
    list.releaseIterator(iterator);
    return strings;
}

std::u16string numberedKey(std::u16string_view key, size_t n) {
    return std::u16string(key) + holm::common::utf8ToUtf16(std::to_string(n));
}

}  // namespace

// The operations a list write needs, on the store of either mode.
class CIniFileImpl::Edits {
  public:
    virtual ~Edits() = default;
    virtual std::optional<std::u16string> find(std::u16string_view section,
                                               std::u16string_view key) = 0;
    virtual bool set(std::u16string_view section, std::u16string_view key,
                     std::u16string_view value) = 0;
    virtual void remove(std::u16string_view section, std::u16string_view key) = 0;
};

class CIniFileImpl::BlockEdits : public CIniFileImpl::Edits {
  public:
    explicit BlockEdits(CIniFileWithBlockMode& store) : store_(store) {}
    std::optional<std::u16string> find(std::u16string_view section,
                                       std::u16string_view key) override {
        const char16_t* value =
            store_.getString(std::u16string(section).c_str(), std::u16string(key).c_str(), nullptr);
        return value != nullptr ? std::optional<std::u16string>(value) : std::nullopt;
    }
    bool set(std::u16string_view section, std::u16string_view key,
             std::u16string_view value) override {
        return store_.setString(std::u16string(section).c_str(), std::u16string(key).c_str(),
                                std::u16string(value).c_str());
    }
    void remove(std::u16string_view section, std::u16string_view key) override {
        store_.setString(std::u16string(section).c_str(), std::u16string(key).c_str(), nullptr);
    }

  private:
    CIniFileWithBlockMode& store_;
};

class CIniFileImpl::ProfileEdits : public CIniFileImpl::Edits {
  public:
    explicit ProfileEdits(IniProfile& profile) : profile_(profile) {}
    std::optional<std::u16string> find(std::u16string_view section,
                                       std::u16string_view key) override {
        return profile_.find(section, key);
    }
    bool set(std::u16string_view section, std::u16string_view key,
             std::u16string_view value) override {
        return profile_.set(section, key, value);
    }
    void remove(std::u16string_view section, std::u16string_view key) override {
        profile_.removeKey(section, key);
    }

  private:
    IniProfile& profile_;
};

bool CIniFileImpl::open(const char16_t* path, bool blockMode) {
    return guarded(false, [&] {
        path_ = path != nullptr ? path : u"";
        blockMode_ = blockMode;
        snapshot_.reset();
        return !blockMode || block_.load(path_.c_str());
    });
}

bool CIniFileImpl::close() {
    // Profile mode writes through at every set: nothing is pending.
    return !blockMode_ || guarded(false, [&] { return block_.close(); });
}

const char16_t* CIniFileImpl::getString(const char16_t* section, const char16_t* key,
                                        const char16_t* defaultValue) {
    if (blockMode_) {
        return block_.getString(section, key, defaultValue);
    }
    return guarded<const char16_t*>(u"", [&] { return profileString(section, key, defaultValue); });
}

const char16_t* CIniFileImpl::profileString(const char16_t* section, const char16_t* key,
                                            const char16_t* defaultValue) {
    std::optional<std::u16string> value;
    if (section != nullptr && key != nullptr) {
        value = lookup(section, key);
    }
    if (value) {
        resultText_ = std::move(*value);
    } else {
        // The profile functions drop trailing blanks of the default.
        std::u16string_view fallback = defaultValue != nullptr ? defaultValue : u"";
        resultText_ = fallback.substr(0, fallback.find_last_not_of(u' ') + 1);
    }
    return resultText_.c_str();
}

int32_t CIniFileImpl::getInt(const char16_t* section, const char16_t* key, int32_t defaultValue) {
    return guarded(defaultValue, [&] {
        const std::u16string fallback = holm::common::format(u"%d", defaultValue);
        const char16_t* text = getString(section, key, fallback.c_str());
        return text == nullptr || *text == 0 ? defaultValue : holm::common::readDecimal(text);
    });
}

uint32_t CIniFileImpl::getHex(const char16_t* section, const char16_t* key, uint32_t defaultValue) {
    return guarded(defaultValue, [&] {
        const std::u16string fallback = holm::common::format(u"0x%08x", defaultValue);
        const char16_t* text = getString(section, key, fallback.c_str());
        if (text == nullptr || *text == 0) {
            return defaultValue;
        }
        const std::u16string_view value(text);
        return scanHex(value, value.find(u'x') != std::u16string_view::npos).value_or(defaultValue);
    });
}

bool CIniFileImpl::getBool(const char16_t* section, const char16_t* key, bool defaultValue) {
    return getInt(section, key, defaultValue ? 1 : 0) == 1;
}

bool CIniFileImpl::getStringList(const char16_t* section, const char16_t* key,
                                 const char16_t* defaultValue, HlmPlg::IStringList* out,
                                 const char16_t* separator) {
    if (out == nullptr) {
        return false;
    }
    out->clear();
    if (section == nullptr || key == nullptr || (separator != nullptr && *separator == 0)) {
        return false;
    }
    return guarded(false, [&] {
        if (separator == nullptr) {
            // The first numbered key that is missing or empty ends the list;
            // the default never counts as a value here.
            for (size_t n = 0;; ++n) {
                const auto value = lookup(section, numberedKey(key, n));
                if (!value || value->empty()) {
                    break;
                }
                out->add(value->c_str());
            }
            return out->getCount() > 0;
        }
        const char16_t* read = getString(section, key, defaultValue);
        std::u16string value = read != nullptr ? read : u"";
        const std::u16string_view split(separator);
        if (value.empty()) {
            return false;
        }
        if (!value.ends_with(split)) {
            value += split;
        }
        for (size_t start = 0, next = value.find(split); next != std::u16string::npos;
             start = next + split.size(), next = value.find(split, start)) {
            out->add(value.substr(start, next - start).c_str());
        }
        return out->getCount() > 0;
    });
}

bool CIniFileImpl::setString(const char16_t* section, const char16_t* key, const char16_t* value) {
    if (blockMode_) {
        return guarded(false, [&] { return block_.setString(section, key, value); });
    }
    return guarded(false, [&] { return profileSetString(section, key, value); });
}

bool CIniFileImpl::profileSetString(const char16_t* section, const char16_t* key,
                                    const char16_t* value) {
    if (section == nullptr) {
        // All three null asks to flush the file: every write is on disk.
        return key == nullptr && value == nullptr;
    }
    if (!ensureUnicodeFile()) {
        return false;
    }
    const std::string file = profilePath();
    return !file.empty() && editProfile(file, [&](IniProfile& profile) {
        if (key == nullptr) {
            profile.removeSection(section);
        } else if (value == nullptr) {
            profile.removeKey(section, key);
        } else {
            return profile.set(section, key, value);
        }
        return true;
    });
}

bool CIniFileImpl::ensureUnicodeFile() {
    if (newFileChecked_) {
        return true;
    }
    newFileChecked_ = true;
    const std::string resolved = profilePath();
    if (!resolved.empty() && holm::platform::pathExists(resolved)) {
        return true;
    }
    // Created only if still missing: a file another writer created meanwhile
    // is not emptied.
    CTxtFileImpl file;
    const auto made = file.createFile(path_.c_str(), true, true);
    const bool created = made || made.windowsError() == holm::platform::WinError::kFileExists;
    file.close();
    newFileChecked_ = created;
    return created;
}

bool CIniFileImpl::setInt(const char16_t* section, const char16_t* key, int32_t value) {
    return guarded(
        false, [&] { return setString(section, key, holm::common::format(u"%d", value).c_str()); });
}

bool CIniFileImpl::setHex(const char16_t* section, const char16_t* key, uint32_t value) {
    return guarded(false, [&] {
        return setString(section, key, holm::common::format(u"0x%08x", value).c_str());
    });
}

bool CIniFileImpl::setBool(const char16_t* section, const char16_t* key, bool value) {
    return setInt(section, key, value ? 1 : 0);
}

bool CIniFileImpl::setStringList(const char16_t* section, const char16_t* key,
                                 HlmPlg::IStringList* list, const char16_t* separator) {
    if (list == nullptr || section == nullptr || key == nullptr ||
        (separator != nullptr && *separator == 0)) {
        return false;
    }
    return guarded(false, [&] {
        const auto strings = stringsOf(*list);
        if (!strings) {
            return false;
        }
        if (blockMode_) {
            BlockEdits edits(block_);
            return writeList(edits, section, key, *strings, separator);
        }
        if (!ensureUnicodeFile()) {
            return false;
        }
        // The whole list is one rewrite of the file.
        const std::string file = profilePath();
        return !file.empty() && editProfile(file, [&](IniProfile& profile) {
            ProfileEdits edits(profile);
            return writeList(edits, section, key, *strings, separator);
        });
    });
}

bool CIniFileImpl::writeList(Edits& edits, std::u16string_view section, std::u16string_view key,
                             const std::vector<std::u16string>& strings,
                             const char16_t* separator) {
    if (separator != nullptr) {
        std::u16string joined;
        for (const auto& text : strings) {
            joined += text;
            joined += separator;
        }
        return edits.set(section, key, joined);
    }
    for (size_t n = 0;; ++n) {
        const std::u16string numbered = numberedKey(key, n);
        const auto old = edits.find(section, numbered);
        if (!old || old->empty()) {
            break;
        }
        edits.remove(section, numbered);
    }
    for (size_t n = 0; n < strings.size(); ++n) {
        if (!edits.set(section, numberedKey(key, n), strings[n])) {
            return false;
        }
    }
    return true;
}

std::optional<std::u16string> CIniFileImpl::lookup(std::u16string_view section,
                                                   std::u16string_view key) {
    if (blockMode_) {
        return BlockEdits(block_).find(section, key);
    }
    return currentProfile().find(section, key);
}

std::string CIniFileImpl::profilePath() const {
    auto followed = holm::containers::followLinksOrReport(pathOf(path_));
    return followed ? std::move(*followed) : std::string();
}

const IniProfile& CIniFileImpl::currentProfile() {
    const std::string path = profilePath();
    auto file = path.empty() ? holm::platform::Result<holm::platform::UniqueFd>(
                                   holm::platform::Error::fromErrno(ELOOP))
                             : io::open(path, {.nonBlocking = true});
    auto info = file ? holm::platform::statDescriptor(file->get())
                     : holm::platform::Result<holm::platform::FileInfo>(file.error());
    if (!info || info->type != holm::platform::FileType::kRegular ||
        info->size > kMaxProfileFileSize) {
        snapshot_.emplace();
        return snapshot_->profile;
    }
    if (snapshot_ && snapshot_->device == info->device && snapshot_->inode == info->inode &&
        snapshot_->size == info->size && snapshot_->modified == info->modified) {
        return snapshot_->profile;
    }
    auto content = io::readWholeFile(file->get(), kMaxProfileFileSize, info->size);
    snapshot_.emplace();
    if (content) {
        *snapshot_ = {info->device, info->inode, info->size, info->modified,
                      IniProfile::parse(std::string_view(
                          reinterpret_cast<const char*>(content->data()), content->size()))};
    }
    return snapshot_->profile;
}

}  // namespace holm::containers
