// The core's configuration store: the product's directories and registry
// key, typed reads through the configuration library, the per-process
// temporary directory, the configuration handlers and the read records from
// which a reload tells which objects' values changed.
//
// Thread safety: every operation may be called from any thread. The handler
// list has its own lock. The record lists are guarded by the library
// binding's lock: a read through the library and the update of its record
// take that one lock once. The binding is never called with the handler
// list's lock held, so a handler never waits for a reader's library call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/file_lock.h"
#include "services/cfglib_binding.h"
#include "services/config_handlers.h"

namespace Tandro::Utilities {
class IProductSettings;
class IMasterTextReader;
}  // namespace Tandro::Utilities

namespace holm::services {

// One read of one IConfig object: what was asked and what it gave.
struct ReadRecord {
    // How the value was read; a change check reads it again the same way.
    enum class Form { Text, Int, Hex, Bool, Scrambled, List, AppDataSubDir, TempDir };

    Form form = Form::Text;
    std::u16string name;  // the section, or for a path record its kind
    std::u16string key;
    std::u16string defaultValue;  // texts only
    std::u16string extra;         // a list's separator ("@empty@" for none)
    std::u16string value;         // texts only
    // Int, Hex and Bool: the default given and the value read, as numbers
    // (a hex value as its 32 bits).
    int32_t defaultNumber = 0;
    int32_t number = 0;
    // Of the form, name and key with A-Z folded: a record that differs
    // there is passed over without comparing texts.
    uint32_t hash = 0;

    static bool isNumber(Form form) {
        return form == Form::Int || form == Form::Hex || form == Form::Bool;
    }
    static uint32_t hashOf(Form form, std::u16string_view name, std::u16string_view key);
};

class CConfigStore {
  public:
    // Name of the lock file that marks a temporary folder as in use by a live
    // process; stale-folder removal skips folders whose lock is held.
    static constexpr char16_t kInstanceLockName[] = u".holm-instance.lock";

    // Takes the four product texts from `settings`; `masterTexts` resolves
    // symbolic file names (may be null: such names then resolve to nothing).
    // Hands the configuration file to `binding`.
    CConfigStore(const Tandro::Utilities::IProductSettings& settings,
                 std::shared_ptr<const Tandro::Utilities::IMasterTextReader> masterTexts,
                 CCfgLibBinding& binding = CCfgLibBinding::process());
    ~CConfigStore();

    const std::u16string& productRegistryKey() const { return registryKey_; }
    const std::u16string& productDirectory() const { return productDirectory_; }
    const std::u16string& dataDirectory() const { return dataDirectory_; }
    const std::u16string& configurationFile() const { return configurationFile_; }
    // The temporary folder's name pattern: the host program's name in upper
    // case followed by "_%08x/".
    const std::u16string& tempFolderPattern() const { return tempFolderPattern_; }

    // Typed reads through the library; the default when it is unbound or
    // the read fails. The library is never called under the temporary
    // folder's lock.
    std::u16string readString(std::u16string_view section, std::u16string_view key,
                              std::u16string_view defaultValue) EXCLUDES(tempLock_);
    // The same into `out`, whose room is reused.
    void readStringInto(std::u16string_view section, std::u16string_view key,
                        std::u16string_view defaultValue, std::u16string& out) EXCLUDES(tempLock_);
    int32_t readInt(std::u16string_view section, std::u16string_view key, int32_t defaultValue)
        EXCLUDES(tempLock_);
    uint32_t readHex(std::u16string_view section, std::u16string_view key, uint32_t defaultValue)
        EXCLUDES(tempLock_);
    // A failed read builds the list from `defaultValue`: with an empty
    // separator no items; otherwise the separator is appended unless the
    // default ends with its first character, and every piece ending at a
    // separator is an item (empty pieces too).
    std::vector<std::u16string> readList(std::u16string_view section, std::u16string_view key,
                                         std::u16string_view defaultValue,
                                         std::u16string_view separator) EXCLUDES(tempLock_);

    // The data directory's subdirectory `name`, created if nothing exists
    // there (when `create`); ends in one '/'.
    std::u16string appDataSubDir(std::u16string_view name, bool create = true);
    // Where temporary folders are made: "TempDirectory" of "COMMON" (default
    // the data subdirectory "TEMP"), or the system's temporary directory when
    // "UseSystemTempPath" is 1.
    std::u16string tempBase() EXCLUDES(tempLock_);
    // This process's temporary folder, chosen (and created, owner-only, with
    // the instance lock inside) at the first call; the same path until a
    // reload moves it. Empty when it cannot be created.
    std::u16string tempDirectory() EXCLUDES(tempLock_);
    // The folder chosen so far, without choosing or creating one.
    std::u16string currentTempDirectory() EXCLUDES(tempLock_);
    // "ReportDirectory" of "COMMON" (default the data subdirectory
    // "LOGFILES", which is created) followed by `fileName`.
    std::u16string reportPath(std::u16string_view fileName) EXCLUDES(tempLock_);
    // A file name in the product directory; a name starting with '#' is first
    // mapped through the master texts (empty when it has no mapping).
    std::u16string resolveFileName(std::u16string_view name) const;

    // Strips trailing separators and appends exactly one.
    static std::u16string normaliseDirectory(std::u16string_view directory);

    // The reload of the store: the library re-reads its file; when the
    // temporary base moved, the temporary folder is given up (its instance
    // lock removed) so that the next request makes one under the new base.
    void reload() EXCLUDES(tempLock_);

    // Reads through the library that are recorded for `object` in the same
    // step (see recordText). The texts given may lie in `out`: they are
    // copied before it is written.
    void readStringRecorded(const void* object, std::u16string_view section,
                            std::u16string_view key, std::u16string_view defaultValue,
                            std::u16string& out) EXCLUDES(tempLock_);
    int32_t readIntRecorded(const void* object, ReadRecord::Form form, std::u16string_view section,
                            std::u16string_view key, int32_t defaultValue) EXCLUDES(tempLock_);
    uint32_t readHexRecorded(const void* object, std::u16string_view section,
                             std::u16string_view key, uint32_t defaultValue) EXCLUDES(tempLock_);

    // Read records and handlers of IConfig objects. A read asked again
    // (same form, and names and default alike with A-Z folded) updates its
    // record; nothing is copied unless the record is new or its value moved.
    void recordText(const void* object, ReadRecord::Form form, std::u16string_view name,
                    std::u16string_view key, std::u16string_view defaultValue,
                    std::u16string_view value, std::u16string_view extra = {});
    std::vector<ReadRecord> recordsOf(const void* object) const;
    // Whether a value `object` read reads differently now.
    bool changed(const void* object) EXCLUDES(tempLock_);
    ConfigHandlerList& handlers() { return handlers_; }
    // An object goes away: its records and handler pairs leave the store
    // (a later object at the same address must not inherit them, and a
    // reload must not call a handler through a freed object).
    void forget(const void* object);

  private:
    // The record of the same read, or a new one.
    ReadRecord& recordOf(const void* object, ReadRecord::Form form, std::u16string_view name,
                         std::u16string_view key, std::u16string_view defaultValue,
                         int32_t defaultNumber, std::u16string_view extra)
        REQUIRES(binding_.mutex());
    std::u16string chooseTempDirectory(const std::u16string& base) REQUIRES(tempLock_);
    bool stillReads(const ReadRecord& record) EXCLUDES(tempLock_);
    void releaseTempDirectory() REQUIRES(tempLock_);

    std::shared_ptr<const Tandro::Utilities::IMasterTextReader> masterTexts_;
    CCfgLibBinding& binding_;
    std::u16string registryKey_;
    std::u16string productDirectory_;
    std::u16string dataDirectory_;
    std::u16string configurationFile_;
    std::u16string tempFolderPattern_;
    CfgLibSource librarySource_;

    common::Mutex tempLock_;
    std::u16string tempDirectory_ GUARDED_BY(tempLock_);
    std::u16string tempRoot_ GUARDED_BY(tempLock_);
    std::optional<platform::FileLock> instanceLock_ GUARDED_BY(tempLock_);

    // Kept under the binding's lock: a read and its record are one step.
    std::unordered_map<const void*, std::vector<ReadRecord>> records_ GUARDED_BY(binding_.mutex());
    const void* lastObject_ GUARDED_BY(binding_.mutex()) = nullptr;  // whose list lastList_ is
    std::vector<ReadRecord>* lastList_ GUARDED_BY(binding_.mutex()) = nullptr;
    ConfigHandlerList handlers_;
};

}  // namespace holm::services
