// The core library's second-generation root object ("Holm/Gateway/1.0") and
// the wrappers it makes: the core's configuration and resource strings for
// second-generation plugins, and its two notifiers.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <new>
#include <string>

#include "gateway/notifier.h"
#include "hlmplg/config.h"
#include "hlmplg/core.h"
#include "hlmplg/gateway.h"
#include "hlmplg/plugin2.h"
#include "hlmplg/res_string.h"

namespace holm::gateway {

// The gateway. It lives while the manager holds it (or whoever has a
// reference); between init and uninit it holds one IConfig with the
// configuration notifier registered on it. Objects it makes hold their own
// service objects and outlive it; the notifiers are part of it.
class HPlg2Gateway final : public HlmPlg::RefCounted<HlmPlg::IHolmPlugin2> {
  public:
    HPlg2Gateway() = default;

    const char* getTypeName() override { return HlmPlg::kGatewayFactoryName; }
    // Takes the core from the manager and marks itself available at once;
    // 1610 when the core gives no IConfig.
    uint32_t init(HlmPlg::IPluginManager2* manager) override;
    void uninit() override;
    uint32_t start() override { return 0; }
    void stop() override {}
    HlmPlg::IPluginObject2* createObject(const char* typeName) override;

  private:
    ~HPlg2Gateway() override;
    HlmPlg::IPluginObject2* createConfig();
    HlmPlg::IPluginObject2* createResString2();
    HlmPlg::IPluginObject2* createAvLog();

    HlmPlg::IHlmCore* core_ = nullptr;
    HP2ObjUpdateNotifier updateNotifier_;
    HP2ObjConfigChangeNotifier configNotifier_;
    HlmPlg::IConfig* config_ = nullptr;
};

// A new gateway for `factoryName` when it is "Holm/Gateway/1.0" exactly
// (count 1), otherwise null.
HlmPlg::IPluginObject2* gatewayFactory(const char* factoryName);

// "IConfig": the core's configuration, released through the core with the
// wrapper's last reference.
class HP2ObjConfig final : public HlmPlg::RefCounted<HlmPlg::IHP2ObjConfig> {
  public:
    HP2ObjConfig(HlmPlg::IConfig* config, HlmPlg::IHlmCore* core) : config_(config), core_(core) {}

    const char* getTypeName() override { return HlmPlg::kGatewayConfig; }
    const char16_t* getProductDirectory() override { return config_->getProductDirectory(); }
    const char16_t* getDataDirectory() override { return config_->getDataDirectory(); }
    const char16_t* getAppDataSubDir(const char16_t* name) override {
        return config_->getAppDataSubDir(name);
    }
    const char16_t* getReportPath(const char16_t* fileName) override {
        return config_->getReportPath(fileName);
    }
    const char16_t* getTempDirectory() override { return config_->getTempDirectory(); }
    const char16_t* getWindowsDirectory() override { return config_->getWindowsDirectory(); }
    const char16_t* getSystemDirectory() override { return config_->getSystemDirectory(); }
    bool isModuleAvailable(uint32_t id) override { return config_->isModuleAvailable(id); }
    bool isModuleUnavailable(uint32_t id) override { return config_->isModuleUnavailable(id); }
    bool isFeatureEnabled(uint32_t id) override { return config_->isFeatureEnabled(id); }
    bool isFeatureDisabled(uint32_t id) override { return config_->isFeatureDisabled(id); }
    const char16_t* readString(const char16_t* section, const char16_t* key,
                               const char16_t* defaultValue) override {
        return config_->readString(section, key, defaultValue);
    }
    HlmPlg::IStringList* readList(const char16_t* section, const char16_t* key,
                                  const char16_t* defaultValue,
                                  const char16_t* separator) override {
        return config_->readList(section, key, defaultValue, separator);
    }
    const char16_t* readScrambledString(const char16_t* section, const char16_t* key) override {
        return config_->readScrambledString(section, key);
    }
    int32_t readInt(const char16_t* section, const char16_t* key, int32_t defaultValue) override {
        return config_->readInt(section, key, defaultValue);
    }
    uint32_t readHex(const char16_t* section, const char16_t* key, uint32_t defaultValue) override {
        return config_->readHex(section, key, defaultValue);
    }
    bool readBool(const char16_t* section, const char16_t* key, bool defaultValue) override {
        return config_->readBool(section, key, defaultValue);
    }
    const char16_t* readRegistryString(uint32_t rootKey, const char16_t* subKey,
                                       const char16_t* valueName) override {
        return config_->readRegistryString(rootKey, subKey, valueName);
    }
    int32_t readRegistryDword(uint32_t rootKey, const char16_t* subKey,
                              const char16_t* valueName) override {
        return config_->readRegistryDword(rootKey, subKey, valueName);
    }
    const char16_t* readProductRegistryString(const char16_t* valueName) override {
        return config_->readProductRegistryString(valueName);
    }
    int32_t readProductRegistryDword(const char16_t* valueName) override {
        return config_->readProductRegistryDword(valueName);
    }
    bool writeRegistryString(uint32_t rootKey, const char16_t* subKey, const char16_t* valueName,
                             const char16_t* text) override {
        return config_->writeRegistryString(rootKey, subKey, valueName, text);
    }
    bool writeRegistryDword(uint32_t rootKey, const char16_t* subKey, const char16_t* valueName,
                            int32_t value) override {
        return config_->writeRegistryDword(rootKey, subKey, valueName, value);
    }
    bool writeProductRegistryString(const char16_t* valueName, const char16_t* text) override {
        return config_->writeProductRegistryString(valueName, text);
    }
    bool writeProductRegistryDword(const char16_t* valueName, int32_t value) override {
        return config_->writeProductRegistryDword(valueName, value);
    }
    const char16_t* unscramble(const char16_t* text) override { return config_->unscramble(text); }

    // A wrapper's block is kept as its thread's spare when that has none;
    // the gateway builds the next wrapper in it (a create and a release in
    // turn allocate nothing).
    static void operator delete(void* block) noexcept;

  private:
    ~HP2ObjConfig() override;

    HlmPlg::IConfig* config_;
    HlmPlg::IHlmCore* core_;
};

// "IResString2": the core's resource strings. Unlike a wrapper that only
// borrows the service, it keeps the core and releases what it wraps with its
// last reference.
class HP2ObjResString2 final : public HlmPlg::RefCounted<HlmPlg::IHP2ObjResString2> {
  public:
    HP2ObjResString2(HlmPlg::IResString2* strings, HlmPlg::IHlmCore* core)
        : strings_(strings), core_(core) {}

    const char* getTypeName() override { return HlmPlg::kGatewayResString2; }
    std::u16string getMasterText(const char16_t* name) override {
        return strings_->getMasterText(name);
    }
    std::u16string loadString(uint32_t id) override { return strings_->loadString(id); }
    std::u16string formatMasterText(const char16_t* name, ...) override;
    std::u16string formatString(uint32_t id, ...) override;
    std::u16string getFilePath(const char16_t* name) override {
        return strings_->getFilePath(name);
    }
    bool setResourceLibrary(const char16_t* path) override {
        return strings_->setResourceLibrary(path);
    }

  private:
    ~HP2ObjResString2() override;

    HlmPlg::IResString2* strings_;
    HlmPlg::IHlmCore* core_;
};

}  // namespace holm::gateway
