#include "services/config_impl.h"

#include "common/format.h"
#include "common/utf16.h"
#include "platform/file_system.h"
#include "registry/registry.h"
#include "services/scramble.h"
#include "utilities/di_container.h"
#include "utilities/product_switches.h"

namespace holm::services {

namespace {

namespace util = Tandro::Utilities;

// Windows reads a registry text into 520 bytes: 259 characters and the
// terminator. A longer value fails like there.
constexpr size_t kRegistryTextBytes = 520;
constexpr char16_t kEmptySeparator[] = u"@empty@";
// On this platform the "Windows directory" is the system's configuration
// directory and the "system directory" the one of the system's libraries.
constexpr char16_t kWindowsDirectory[] = u"/etc/";

std::optional<registry::Root> rootOf(uint32_t rootKey) {
    switch (rootKey) {
        case HlmPlg::HKEY_CLASSES_ROOT_ID:
            return registry::Root::ClassesRoot;
        case HlmPlg::HKEY_CURRENT_USER_ID:
            return registry::Root::CurrentUser;
        case HlmPlg::HKEY_LOCAL_MACHINE_ID:
            return registry::Root::LocalMachine;
        case HlmPlg::HKEY_USERS_ID:
            return registry::Root::Users;
        default:
            return std::nullopt;
    }
}

std::optional<registry::Value> queryRegistry(uint32_t rootKey, std::u16string_view subKey,
                                             std::u16string_view valueName) {
    const auto root = rootOf(rootKey);
    if (!root) {
        return std::nullopt;
    }
    const auto store = registry::Store::openDefault();
    if (!store) {
        return std::nullopt;
    }
    const auto key = registry::Key::open(*store, *root, subKey, registry::kKeyRead);
    if (!key) {
        return std::nullopt;
    }
    auto value = key->queryValue(valueName);
    if (!value) {
        return std::nullopt;
    }
    return std::move(*value);
}

bool setRegistry(uint32_t rootKey, std::u16string_view subKey, std::u16string_view valueName,
                 const registry::Value& value) {
    const auto root = rootOf(rootKey);
    if (!root) {
        return false;
    }
    const auto store = registry::Store::openDefault();
    if (!store) {
        return false;
    }
    const auto key = registry::Key::create(*store, *root, subKey, registry::kKeyAllAccess);
    return key && key->setValue(valueName, value).ok();
}

template <typename Service, typename Ask>
bool askService(Ask ask) {
    // The locator raises a logic error when used too early or when nothing
    // provides the service; either counts as "no".
    std::shared_ptr<Service> service = util::DiContainer::Instance().Get<Service>();
    return service != nullptr && ask(*service);
}

}  // namespace

CConfigImplEx::CConfigImplEx(CConfigStore& store, ResultList resultList)
    : store_(store), resultList_(std::move(resultList)) {}

CConfigImplEx::~CConfigImplEx() {
    store_.forget(this);
}

template <typename T, typename Body>
T CConfigImplEx::locked(T fallback, Body body) noexcept {
    try {
        common::RecursiveLock guard(lock_);
        return body();
    } catch (...) {
        return fallback;
    }
}

const char16_t* CConfigImplEx::result(std::u16string text) {
    result_ = std::move(text);
    return result_.c_str();
}

bool CConfigImplEx::registerHandler(HlmPlg::IHandler* handler) {
    return locked(false, [&] {
        auto* configHandler = dynamic_cast<HlmPlg::IConfigHandler*>(handler);
        if (configHandler == nullptr) {
            return false;
        }
        store_.handlers().add({this, configHandler});
        return true;
    });
}

// Not under the object lock: removing waits for the handler's calls on
// other threads, and such a call may be reading through this object.
bool CConfigImplEx::unregisterHandler(HlmPlg::IHandler* handler) {
    try {
        auto* configHandler = dynamic_cast<HlmPlg::IConfigHandler*>(handler);
        return configHandler != nullptr && store_.handlers().removeFirst(configHandler);
    } catch (...) {
        return false;
    }
}

const char16_t* CConfigImplEx::getProductDirectory() {
    return locked<const char16_t*>(u"", [&] { return result(store_.productDirectory()); });
}

const char16_t* CConfigImplEx::getDataDirectory() {
    return locked<const char16_t*>(u"", [&] { return result(store_.dataDirectory()); });
}

const char16_t* CConfigImplEx::getAppDataSubDir(const char16_t* name) {
    return locked<const char16_t*>(u"", [&] {
        std::u16string path = store_.appDataSubDir(common::viewOf(name));
        store_.recordText(this, ReadRecord::Form::AppDataSubDir, u"APPDATASUBDIR",
                          common::viewOf(name), {}, path);
        return result(std::move(path));
    });
}

const char16_t* CConfigImplEx::getReportPath(const char16_t* fileName) {
    return locked<const char16_t*>(
        u"", [&] { return result(store_.reportPath(common::viewOf(fileName))); });
}

const char16_t* CConfigImplEx::getTempDirectory() {
    return locked<const char16_t*>(u"", [&] {
        std::u16string path = store_.tempDirectory();
        store_.recordText(this, ReadRecord::Form::TempDir, u"TEMPDIR", {}, {}, path);
        return result(std::move(path));
    });
}

const char16_t* CConfigImplEx::getWindowsDirectory() {
    return locked<const char16_t*>(u"", [&] { return result(kWindowsDirectory); });
}

const char16_t* CConfigImplEx::getSystemDirectory() {
    return locked<const char16_t*>(u"", [&] {
        return result(
            CConfigStore::normaliseDirectory(common::utf8ToUtf16(platform::systemDirectory())));
    });
}

bool CConfigImplEx::isModuleAvailable(uint32_t id) {
    return locked(false, [&] {
        return askService<util::IModuleList>(
            [&](const util::IModuleList& modules) { return modules.isModuleAvailable(id); });
    });
}

bool CConfigImplEx::isModuleUnavailable(uint32_t id) {
    return locked(false, [&] { return !isModuleAvailable(id); });
}

bool CConfigImplEx::isFeatureEnabled(uint32_t id) {
    return locked(false, [&] {
        return askService<util::IFeatureControlReader>(
            [&](const util::IFeatureControlReader& features) {
                return features.isFeatureEnabled(id);
            });
    });
}

bool CConfigImplEx::isFeatureDisabled(uint32_t id) {
    return locked(false, [&] { return !isFeatureEnabled(id); });
}

// The text is read straight into the result, whose room is reused. A
// default that points into the last result is copied before the read.
const char16_t* CConfigImplEx::readString(const char16_t* section, const char16_t* key,
                                          const char16_t* defaultValue) {
    // A default that cannot even be copied gives the empty text.
    return locked<const char16_t*>(u"", [&] {
        store_.readStringRecorded(this, common::viewOf(section), common::viewOf(key),
                                  common::viewOf(defaultValue), result_);
        return result_.c_str();
    });
}

HlmPlg::IStringList* CConfigImplEx::readList(const char16_t* section, const char16_t* key,
                                             const char16_t* defaultValue,
                                             const char16_t* separator) {
    return locked<HlmPlg::IStringList*>(resultList_.get(), [&] {
        const std::u16string_view separatorText = common::viewOf(separator);
        const auto items = store_.readList(common::viewOf(section), common::viewOf(key),
                                           common::viewOf(defaultValue), separatorText);
        resultList_->clear();
        std::u16string all;
        for (const auto& item : items) {
            resultList_->add(item.c_str());
            all += item;
        }
        store_.recordText(this, ReadRecord::Form::List, common::viewOf(section),
                          common::viewOf(key), common::viewOf(defaultValue), all,
                          separatorText.empty() ? kEmptySeparator : separatorText);
        return resultList_.get();
    });
}

// The record keeps the stored form: a reload compares what is stored.
const char16_t* CConfigImplEx::readScrambledString(const char16_t* section, const char16_t* key) {
    return locked<const char16_t*>(u"", [&] {
        std::u16string stored =
            store_.readString(common::viewOf(section), common::viewOf(key), u"");
        std::u16string plain = services::unscramble(stored);
        store_.recordText(this, ReadRecord::Form::Scrambled, common::viewOf(section),
                          common::viewOf(key), {}, stored);
        return result(std::move(plain));
    });
}

// A number read touches nothing of the object: the read and its record
// take the binding's lock once. Anything thrown gives the default.
int32_t CConfigImplEx::readInt(const char16_t* section, const char16_t* key, int32_t defaultValue) {
    try {
        return store_.readIntRecorded(this, ReadRecord::Form::Int, common::viewOf(section),
                                      common::viewOf(key), defaultValue);
    } catch (...) {
        return defaultValue;
    }
}

uint32_t CConfigImplEx::readHex(const char16_t* section, const char16_t* key,
                                uint32_t defaultValue) {
    try {
        return store_.readHexRecorded(this, common::viewOf(section), common::viewOf(key),
                                      defaultValue);
    } catch (...) {
        return defaultValue;
    }
}

bool CConfigImplEx::readBool(const char16_t* section, const char16_t* key, bool defaultValue) {
    try {
        return store_.readIntRecorded(this, ReadRecord::Form::Bool, common::viewOf(section),
                                      common::viewOf(key), defaultValue ? 1 : 0) == 1;
    } catch (...) {
        return defaultValue;
    }
}

const char16_t* CConfigImplEx::readRegistryString(uint32_t rootKey, const char16_t* subKey,
                                                  const char16_t* valueName) {
    return locked<const char16_t*>(u"", [&] {
        const auto value =
            queryRegistry(rootKey, common::viewOf(subKey), common::viewOf(valueName));
        if (!value || value->data.size() > kRegistryTextBytes) {
            return result({});
        }
        auto text = registry::readString(*value);
        return result(text ? std::move(*text) : std::u16string());
    });
}

int32_t CConfigImplEx::readRegistryDword(uint32_t rootKey, const char16_t* subKey,
                                         const char16_t* valueName) {
    return locked(-1, [&] {
        const auto value =
            queryRegistry(rootKey, common::viewOf(subKey), common::viewOf(valueName));
        const auto number = value ? registry::readDword(*value) : std::nullopt;
        return number ? static_cast<int32_t>(*number) : -1;
    });
}

const char16_t* CConfigImplEx::readProductRegistryString(const char16_t* valueName) {
    return locked<const char16_t*>(u"", [&] {
        return readRegistryString(HlmPlg::HKEY_LOCAL_MACHINE_ID,
                                  store_.productRegistryKey().c_str(), valueName);
    });
}

int32_t CConfigImplEx::readProductRegistryDword(const char16_t* valueName) {
    return locked(-1, [&] {
        return readRegistryDword(HlmPlg::HKEY_LOCAL_MACHINE_ID, store_.productRegistryKey().c_str(),
                                 valueName);
    });
}

bool CConfigImplEx::writeRegistryString(uint32_t rootKey, const char16_t* subKey,
                                        const char16_t* valueName, const char16_t* text) {
    return locked(false, [&] {
        return setRegistry(rootKey, common::viewOf(subKey), common::viewOf(valueName),
                           registry::makeString(common::viewOf(text)));
    });
}

bool CConfigImplEx::writeRegistryDword(uint32_t rootKey, const char16_t* subKey,
                                       const char16_t* valueName, int32_t value) {
    return locked(false, [&] {
        return setRegistry(rootKey, common::viewOf(subKey), common::viewOf(valueName),
                           registry::makeDword(static_cast<uint32_t>(value)));
    });
}

bool CConfigImplEx::writeProductRegistryString(const char16_t* valueName, const char16_t* text) {
    return locked(false, [&] {
        return writeRegistryString(HlmPlg::HKEY_LOCAL_MACHINE_ID,
                                   store_.productRegistryKey().c_str(), valueName, text);
    });
}

bool CConfigImplEx::writeProductRegistryDword(const char16_t* valueName, int32_t value) {
    return locked(false, [&] {
        return writeRegistryDword(HlmPlg::HKEY_LOCAL_MACHINE_ID,
                                  store_.productRegistryKey().c_str(), valueName, value);
    });
}

const char16_t* CConfigImplEx::unscramble(const char16_t* text) {
    return locked<const char16_t*>(
        u"", [&] { return result(services::unscramble(common::viewOf(text))); });
}

}  // namespace holm::services
