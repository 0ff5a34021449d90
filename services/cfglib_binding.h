// The binding to the configuration library: loaded at the first read, only
// after its signature verified, from the descriptor that was verified; every
// call into it under one lock.
//
// A library that is missing, unsigned, lacks an entry point or whose Init
// fails leaves the binding unbound for good (the load is attempted once):
// every read then gives nothing and the caller uses its default. Nothing of
// that is reported; an operator sees it as configuration defaults.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/cfglib_abi.h"
#include "common/mutex.h"
#include "platform/shared_library.h"

namespace holm::security {
class TrustStore;
}

namespace holm::services {

// Where the library is and how its signature is checked.
struct CfgLibSource {
    std::string libraryPath;  // empty: no library (stays unbound)
    std::string productDirectory;
    const security::TrustStore* trust = nullptr;  // null: the system's keys
};

class CCfgLibBinding {
  public:
    // The binding the cores of this process share.
    static CCfgLibBinding& process();

    CCfgLibBinding() = default;
    // Ends the library's configuration (CfgLib_Dll_Done) and unloads it.
    ~CCfgLibBinding();
    CCfgLibBinding(const CCfgLibBinding&) = delete;
    CCfgLibBinding& operator=(const CCfgLibBinding&) = delete;

    // The file handed to CfgLib_Dll_Init (set before the first read).
    void setConfigurationFile(std::u16string file);

    // Reads at "SECTION\Key"; nothing when the library is unbound or the
    // read failed. The first read of any kind binds the library.
    std::optional<std::u16string> readString(const CfgLibSource& source, std::u16string_view path,
                                             std::u16string_view defaultValue);
    std::optional<int32_t> readInt(const CfgLibSource& source, std::u16string_view path,
                                   int32_t defaultValue);
    std::optional<uint32_t> readHex(const CfgLibSource& source, std::u16string_view path,
                                    uint32_t defaultValue);
    // `separator` empty: the library's own separator.
    std::optional<std::vector<std::u16string>> readList(const CfgLibSource& source,
                                                        std::u16string_view path,
                                                        std::u16string_view defaultValue,
                                                        std::u16string_view separator);
    // Re-reads the configuration file when bound.
    void reload();

    bool bound() const;
    bool loadAttempted() const;

  private:
    struct Functions {
        CfgLibInitFn init;
        CfgLibDoneFn done;
        CfgLibReloadFn reload;
        CfgLibChangeConfigFileFn changeConfigFile;
        CfgLibReadStringFn readString;
        CfgLibReadIntFn readInt;
        CfgLibReadHexFn readHex;
        CfgLibReadListFn readList;
        CfgLibWriteStringFn writeString;
        CfgLibWriteIntFn writeInt;
        CfgLibWriteHexFn writeHex;
        CfgLibWriteListFn writeList;
        CfgLibGetSubElementsFn getSubElements;
        CfgLibRemoveNodeFn removeNode;
        CfgLibCreateListFn createList;
        CfgLibAddListItemFn addListItem;
        CfgLibFreeListFn freeList;
        CfgLibClearListFn clearList;
        CfgLibCopyListContentFn copyListContent;
    };

    // Binds at the first call; true when bound.
    bool ensureBound(const CfgLibSource& source) REQUIRES(lock_);
    bool bind(const CfgLibSource& source) REQUIRES(lock_);
    bool resolve(const platform::SharedLibrary& library, Functions& functions) const;

    mutable RecursiveMutex lock_;
    std::u16string configurationFile_ GUARDED_BY(lock_);
    bool loadAttempted_ GUARDED_BY(lock_) = false;
    platform::SharedLibrary module_ GUARDED_BY(lock_);
    std::optional<Functions> functions_ GUARDED_BY(lock_);
    CfgLibHandle handle_ GUARDED_BY(lock_) = nullptr;
};

}  // namespace holm::services
