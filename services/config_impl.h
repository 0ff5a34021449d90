// CConfigImplEx: the IConfig object (id 1) a plugin reads configuration
// through. Every object of one core shares the core's CConfigStore.
//
// Each operation runs under the object's own lock, which guards the result
// text and the result list: a text result stays valid until the next call on
// the same object. Reads through the library are recorded in the store, so a
// reload can tell which objects read values that changed. Nothing thrown
// leaves an operation: a failure gives the default, an empty text, -1 or
// false. Destroying the object removes its records and handler pairs from
// the store.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "hlmplg/config.h"
#include "hlmplg/string_list.h"
#include "services/config_store.h"

namespace holm::services {

class CConfigImplEx : public HlmPlg::IConfig {
  public:
    // Destroys the result list made by the provider's container factory.
    using ListDeleter = std::function<void(HlmPlg::IStringList*)>;
    using ResultList = std::unique_ptr<HlmPlg::IStringList, ListDeleter>;

    // `resultList` is the object readList refills and returns.
    CConfigImplEx(CConfigStore& store, ResultList resultList);
    ~CConfigImplEx() override;

    bool registerHandler(HlmPlg::IHandler* handler) override;
    bool unregisterHandler(HlmPlg::IHandler* handler) override;
    const char16_t* getProductDirectory() override;
    const char16_t* getDataDirectory() override;
    const char16_t* getAppDataSubDir(const char16_t* name) override;
    const char16_t* getReportPath(const char16_t* fileName) override;
    const char16_t* getTempDirectory() override;
    const char16_t* getWindowsDirectory() override;
    const char16_t* getSystemDirectory() override;
    bool isModuleAvailable(uint32_t id) override;
    bool isModuleUnavailable(uint32_t id) override;
    bool isFeatureEnabled(uint32_t id) override;
    bool isFeatureDisabled(uint32_t id) override;
    const char16_t* readString(const char16_t* section, const char16_t* key,
                               const char16_t* defaultValue) override;
    HlmPlg::IStringList* readList(const char16_t* section, const char16_t* key,
                                  const char16_t* defaultValue, const char16_t* separator) override;
    const char16_t* readScrambledString(const char16_t* section, const char16_t* key) override;
    int32_t readInt(const char16_t* section, const char16_t* key, int32_t defaultValue) override;
    uint32_t readHex(const char16_t* section, const char16_t* key, uint32_t defaultValue) override;
    bool readBool(const char16_t* section, const char16_t* key, bool defaultValue) override;
    const char16_t* readRegistryString(uint32_t rootKey, const char16_t* subKey,
                                       const char16_t* valueName) override;
    int32_t readRegistryDword(uint32_t rootKey, const char16_t* subKey,
                              const char16_t* valueName) override;
    const char16_t* readProductRegistryString(const char16_t* valueName) override;
    int32_t readProductRegistryDword(const char16_t* valueName) override;
    bool writeRegistryString(uint32_t rootKey, const char16_t* subKey, const char16_t* valueName,
                             const char16_t* text) override;
    bool writeRegistryDword(uint32_t rootKey, const char16_t* subKey, const char16_t* valueName,
                            int32_t value) override;
    bool writeProductRegistryString(const char16_t* valueName, const char16_t* text) override;
    bool writeProductRegistryDword(const char16_t* valueName, int32_t value) override;
    const char16_t* unscramble(const char16_t* text) override;

  private:
    // Runs `body` under the object lock; `fallback` when it throws. The
    // results below are only touched in such bodies; being lambdas, they are
    // analysed apart from the lock, so the members carry no GUARDED_BY.
    template <typename T, typename Body>
    T locked(T fallback, Body body) noexcept;
    const char16_t* result(std::u16string text);
    common::RecursiveMutex lock_;
    CConfigStore& store_;
    std::u16string result_;
    ResultList resultList_;
};

}  // namespace holm::services
