// A configuration object that answers every read with its default and every
// write with false, for tests and benchmarks that need an `IConfig` but not
// a configuration: override what a test looks at.
#pragma once

#include <string>

#include "hlmplg/config.h"

namespace holm::test {

class StubConfig : public HlmPlg::IConfig {
  public:
    bool registerHandler(HlmPlg::IHandler*) override { return false; }
    bool unregisterHandler(HlmPlg::IHandler*) override { return false; }
    const char16_t* getProductDirectory() override { return u"/product/"; }
    const char16_t* getDataDirectory() override { return u"/data/"; }
    const char16_t* getAppDataSubDir(const char16_t*) override { return appDataSubDir.c_str(); }
    const char16_t* getReportPath(const char16_t*) override { return u""; }
    const char16_t* getTempDirectory() override { return u"/tmp/"; }
    const char16_t* getWindowsDirectory() override { return u"/"; }
    const char16_t* getSystemDirectory() override { return u"/usr/lib/"; }
    bool isModuleAvailable(uint32_t) override { return false; }
    bool isModuleUnavailable(uint32_t) override { return false; }
    bool isFeatureEnabled(uint32_t) override { return false; }
    bool isFeatureDisabled(uint32_t) override { return false; }
    const char16_t* readString(const char16_t*, const char16_t*,
                               const char16_t* defaultValue) override {
        return defaultValue;
    }
    HlmPlg::IStringList* readList(const char16_t*, const char16_t*, const char16_t*,
                                  const char16_t*) override {
        return nullptr;
    }
    const char16_t* readScrambledString(const char16_t*, const char16_t*) override { return u""; }
    int32_t readInt(const char16_t*, const char16_t*, int32_t defaultValue) override {
        return defaultValue;
    }
    uint32_t readHex(const char16_t*, const char16_t*, uint32_t defaultValue) override {
        return defaultValue;
    }
    bool readBool(const char16_t*, const char16_t*, bool defaultValue) override {
        return defaultValue;
    }
    const char16_t* readRegistryString(uint32_t, const char16_t*, const char16_t*) override {
        return u"";
    }
    int32_t readRegistryDword(uint32_t, const char16_t*, const char16_t*) override { return 0; }
    const char16_t* readProductRegistryString(const char16_t*) override { return u""; }
    int32_t readProductRegistryDword(const char16_t*) override { return 0; }
    bool writeRegistryString(uint32_t, const char16_t*, const char16_t*, const char16_t*) override {
        return false;
    }
    bool writeRegistryDword(uint32_t, const char16_t*, const char16_t*, int32_t) override {
        return false;
    }
    bool writeProductRegistryString(const char16_t*, const char16_t*) override { return false; }
    bool writeProductRegistryDword(const char16_t*, int32_t) override { return false; }
    const char16_t* unscramble(const char16_t* text) override { return text; }

    // What getAppDataSubDir answers (the report-log folder by default).
    std::u16string appDataSubDir = u"/data/LOGFILES/";
};

}  // namespace holm::test
