// The binding to the configuration library: loaded at the first read, only
// after its signature verified, from the descriptor that was verified; every
// call into it under one lock.
//
// A library that is missing, unsigned, lacks an entry point or whose Init
// fails leaves the binding unbound for good (the load is attempted once):
// every read then gives nothing and the caller uses its default. Nothing of
// that is reported; an operator sees it as configuration defaults.
#pragma once

#include <array>
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

// A text handed to the library: null-terminated, on the stack when short.
class LibraryText {
  public:
    explicit LibraryText(std::u16string_view text) : LibraryText(text, {}, false) {}
    // "<section>\<key>": the path of a value.
    LibraryText(std::u16string_view section, std::u16string_view key)
        : LibraryText(section, key, true) {}
    LibraryText(const LibraryText&) = delete;
    LibraryText& operator=(const LibraryText&) = delete;

    const char16_t* c_str() const { return view_.data(); }
    operator std::u16string_view() const { return view_; }

  private:
    LibraryText(std::u16string_view first, std::u16string_view second, bool joined);

    std::array<char16_t, 128> local_;
    std::u16string heap_;
    std::u16string_view view_;
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
                                             std::u16string_view defaultValue) {
        return readString(source, LibraryText(path), LibraryText(defaultValue));
    }
    std::optional<int32_t> readInt(const CfgLibSource& source, std::u16string_view path,
                                   int32_t defaultValue) {
        return readInt(source, LibraryText(path), defaultValue);
    }
    std::optional<uint32_t> readHex(const CfgLibSource& source, std::u16string_view path,
                                    uint32_t defaultValue) {
        return readHex(source, LibraryText(path), defaultValue);
    }
    // The same with texts ready for the library.
    std::optional<std::u16string> readString(const CfgLibSource& source, const LibraryText& path,
                                             const LibraryText& defaultValue);
    // The text read into `out` (its room reused); false as readString's
    // nothing, `out` then holding anything.
    bool readStringInto(const CfgLibSource& source, const LibraryText& path,
                        const LibraryText& defaultValue, std::u16string& out);
    std::optional<int32_t> readInt(const CfgLibSource& source, const LibraryText& path,
                                   int32_t defaultValue);
    std::optional<uint32_t> readHex(const CfgLibSource& source, const LibraryText& path,
                                    uint32_t defaultValue);
    // `separator` empty: the library's own separator.
    std::optional<std::vector<std::u16string>> readList(const CfgLibSource& source,
                                                        std::u16string_view path,
                                                        std::u16string_view defaultValue,
                                                        std::u16string_view separator);
    // Re-reads the configuration file when bound.
    void reload();

    // Runs `body` with the binding's lock held: a read made from it (the
    // `...Held` forms below) and what the caller notes of that read are one
    // step for every other thread, at the price of one lock.
    template <typename Body>
    decltype(auto) underLock(Body&& body) {
        common::RecursiveLock guard(lock_);
        return body();
    }
    // The lock underLock holds, for contracts of state kept under it. A body
    // is analysed apart from underLock: it starts with
    // `binding.mutex().assertHeld()`.
    common::RecursiveMutex& mutex() const RETURN_CAPABILITY(lock_) { return lock_; }
    // The reads above, for a caller inside underLock.
    bool readStringIntoHeld(const CfgLibSource& source, const LibraryText& path,
                            const LibraryText& defaultValue, std::u16string& out) REQUIRES(lock_);
    std::optional<int32_t> readIntHeld(const CfgLibSource& source, const LibraryText& path,
                                       int32_t defaultValue) REQUIRES(lock_);
    std::optional<uint32_t> readHexHeld(const CfgLibSource& source, const LibraryText& path,
                                        uint32_t defaultValue) REQUIRES(lock_);

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

    mutable common::RecursiveMutex lock_;
    std::u16string configurationFile_ GUARDED_BY(lock_);
    bool loadAttempted_ GUARDED_BY(lock_) = false;
    platform::SharedLibrary module_ GUARDED_BY(lock_);
    std::optional<Functions> functions_ GUARDED_BY(lock_);
    CfgLibHandle handle_ GUARDED_BY(lock_) = nullptr;
};

}  // namespace holm::services
