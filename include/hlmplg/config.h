// Configuration access (id 1): typed values, product directories, module and
// feature switches, registry values.
#pragma once

#include <cstdint>

#include "hlmplg/interface.h"

namespace HlmPlg {

class IStringList;

// Registry roots, as 32-bit constants.
enum RegistryRoot : uint32_t {
    HKEY_CLASSES_ROOT_ID = 0x80000000,
    HKEY_CURRENT_USER_ID = 0x80000001,
    HKEY_LOCAL_MACHINE_ID = 0x80000002,
    HKEY_USERS_ID = 0x80000003,
};

// Text results point into the object and stay valid until its next call.
class HLMPLG_API IConfig : public IHandlerInterface {
  public:
    virtual const char16_t* getProductDirectory() = 0;
    virtual const char16_t* getDataDirectory() = 0;
    virtual const char16_t* getAppDataSubDir(const char16_t* name) = 0;
    virtual const char16_t* getReportPath(const char16_t* fileName) = 0;
    virtual const char16_t* getTempDirectory() = 0;
    virtual const char16_t* getWindowsDirectory() = 0;
    virtual const char16_t* getSystemDirectory() = 0;
    virtual bool isModuleAvailable(uint32_t id) = 0;
    virtual bool isModuleUnavailable(uint32_t id) = 0;
    virtual bool isFeatureEnabled(uint32_t id) = 0;
    virtual bool isFeatureDisabled(uint32_t id) = 0;
    virtual const char16_t* readString(const char16_t* section, const char16_t* key,
                                       const char16_t* defaultValue) = 0;
    virtual IStringList* readList(const char16_t* section, const char16_t* key,
                                  const char16_t* defaultValue, const char16_t* separator) = 0;
    virtual const char16_t* readScrambledString(const char16_t* section, const char16_t* key) = 0;
    virtual int32_t readInt(const char16_t* section, const char16_t* key, int32_t defaultValue) = 0;
    virtual uint32_t readHex(const char16_t* section, const char16_t* key,
                             uint32_t defaultValue) = 0;
    virtual bool readBool(const char16_t* section, const char16_t* key, bool defaultValue) = 0;
    virtual const char16_t* readRegistryString(uint32_t rootKey, const char16_t* subKey,
                                               const char16_t* valueName) = 0;
    virtual int32_t readRegistryDword(uint32_t rootKey, const char16_t* subKey,
                                      const char16_t* valueName) = 0;
    virtual const char16_t* readProductRegistryString(const char16_t* valueName) = 0;
    virtual int32_t readProductRegistryDword(const char16_t* valueName) = 0;
    virtual bool writeRegistryString(uint32_t rootKey, const char16_t* subKey,
                                     const char16_t* valueName, const char16_t* text) = 0;
    virtual bool writeRegistryDword(uint32_t rootKey, const char16_t* subKey,
                                    const char16_t* valueName, int32_t value) = 0;
    virtual bool writeProductRegistryString(const char16_t* valueName, const char16_t* text) = 0;
    virtual bool writeProductRegistryDword(const char16_t* valueName, int32_t value) = 0;
    virtual const char16_t* unscramble(const char16_t* text) = 0;
};

}  // namespace HlmPlg
