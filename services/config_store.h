// The core's configuration store: the product's directories and registry
// key, typed reads of configuration values, and the per-process temporary
// directory.
//
// Reads go through the configuration library once it is bound; until then
// (and whenever the library is missing) every read gives its default.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_lock.h"

namespace Tandro::Utilities {
class IProductSettings;
class IMasterTextReader;
}  // namespace Tandro::Utilities

namespace holm::services {

class CConfigStore {
  public:
    // Name of the lock file that marks a temporary folder as in use by a live
    // process; stale-folder removal skips folders whose lock is held.
    static constexpr char16_t kInstanceLockName[] = u".holm-instance.lock";

    // Takes the four product texts from `settings`; `masterTexts` resolves
    // symbolic file names (may be null: such names then resolve to nothing).
    CConfigStore(const Tandro::Utilities::IProductSettings& settings,
                 std::shared_ptr<const Tandro::Utilities::IMasterTextReader> masterTexts);

    const std::u16string& productRegistryKey() const { return registryKey_; }
    const std::u16string& productDirectory() const { return productDirectory_; }
    const std::u16string& dataDirectory() const { return dataDirectory_; }
    const std::u16string& configurationFile() const { return configurationFile_; }
    // The temporary folder's name pattern: the host program's name in upper
    // case followed by "_%08x/".
    const std::u16string& tempFolderPattern() const { return tempFolderPattern_; }

    int32_t readInt(std::u16string_view section, std::u16string_view key, int32_t defaultValue);
    std::u16string readString(std::u16string_view section, std::u16string_view key,
                              std::u16string_view defaultValue);

    // The data directory's subdirectory `name`, created if nothing exists
    // there; ends in one '/'.
    std::u16string appDataSubDir(std::u16string_view name);
    // Where temporary folders are made: "TempDirectory" of "COMMON" (default
    // the data subdirectory "TEMP"), or the system's temporary directory when
    // "UseSystemTempPath" is 1.
    std::u16string tempBase();
    // This process's temporary folder, chosen (and created, owner-only, with
    // the instance lock inside) at the first call; the same path afterwards.
    std::u16string tempDirectory();
    // A file name in the product directory; a name starting with '#' is first
    // mapped through the master texts (empty when it has no mapping).
    std::u16string resolveFileName(std::u16string_view name) const;

    // Strips trailing separators and appends exactly one.
    static std::u16string normaliseDirectory(std::u16string_view directory);

  private:
    std::u16string createTempDirectory(const std::u16string& base);

    std::shared_ptr<const Tandro::Utilities::IMasterTextReader> masterTexts_;
    std::u16string registryKey_;
    std::u16string productDirectory_;
    std::u16string dataDirectory_;
    std::u16string configurationFile_;
    std::u16string tempFolderPattern_;

    std::mutex lock_;
    std::u16string tempDirectory_;
    std::u16string tempRoot_;
    std::optional<platform::FileLock> instanceLock_;
};

}  // namespace holm::services
