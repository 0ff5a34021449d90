// A core of the test's own for the second generation: it hands out a
// configuration (id 1) that records its handlers and resource strings
// (id 21) with fixed texts, and counts what is created and released.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/plugin_list.h"
#include "core/second_generation.h"
#include "hlmplg/hlmplg.h"

namespace holm::test {

class FakeConfig : public HlmPlg::IConfig {
  public:
    bool registerHandler(HlmPlg::IHandler* handler) override {
        handlers.push_back(dynamic_cast<HlmPlg::IConfigHandler*>(handler));
        return true;
    }
    bool unregisterHandler(HlmPlg::IHandler* handler) override {
        auto found = std::find(handlers.begin(), handlers.end(), handler);
        if (found == handlers.end()) {
            return false;
        }
        handlers.erase(found);
        return true;
    }
    const char16_t* getProductDirectory() override { return u"/product/"; }
    const char16_t* getDataDirectory() override { return u"/data/"; }
    const char16_t* getAppDataSubDir(const char16_t*) override { return appDataSubDir.c_str(); }
    const char16_t* getReportPath(const char16_t*) override { return u""; }
    const char16_t* getTempDirectory() override { return u"/tmp/"; }
    const char16_t* getWindowsDirectory() override { return u"/"; }
    const char16_t* getSystemDirectory() override { return u"/usr/lib/"; }
    bool isModuleAvailable(uint32_t id) override { return id == 7; }
    bool isModuleUnavailable(uint32_t) override { return false; }
    bool isFeatureEnabled(uint32_t) override { return false; }
    bool isFeatureDisabled(uint32_t) override { return false; }
    const char16_t* readString(const char16_t* section, const char16_t* key,
                               const char16_t* defaultValue) override {
        last_ = std::u16string(section) + u"/" + key;
        return last_ == u"DEMO/Greeting" ? u"hello" : defaultValue;
    }
    HlmPlg::IStringList* readList(const char16_t*, const char16_t*, const char16_t*,
                                  const char16_t*) override {
        return nullptr;
    }
    const char16_t* readScrambledString(const char16_t*, const char16_t*) override { return u""; }
    int32_t readInt(const char16_t*, const char16_t* key, int32_t defaultValue) override {
        const auto found = ints.find(key);
        return found != ints.end() ? found->second : defaultValue;
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

    std::vector<HlmPlg::IConfigHandler*> handlers;
    std::u16string appDataSubDir = u"/data/LOGFILES/";
    std::map<std::u16string, int32_t> ints;  // readInt by key

  private:
    std::u16string last_;
};

class FakeResString2 : public HlmPlg::IResString2 {
  public:
    std::u16string getMasterText(const char16_t* name) override {
        return std::u16string(u"master:") + name;
    }
    std::u16string loadString(uint32_t id) override {
        return id == 7 ? u"%s has %d files" : id == 8 ? u"%2 before %1" : u"";
    }
    std::u16string formatMasterText(const char16_t*, ...) override { return u""; }
    std::u16string formatString(uint32_t, ...) override { return u""; }
    std::u16string getFilePath(const char16_t* name) override { return name; }
    bool setResourceLibrary(const char16_t*) override { return libraryLoads; }
    std::u16string getProductRegistryKey() override { return u""; }

    bool libraryLoads = true;
};

class FakeCore : public HlmPlg::IHlmCore {
  public:
    uint32_t getVersion() override { return HlmPlg::kFrameworkVersion; }
    HlmPlg::IInterface* createInterface(int32_t id) override {
        std::lock_guard hold(lock_);
        HlmPlg::IInterface* made = nullptr;
        if (id == HlmPlg::IID_CONFIG && withConfig) {
            made = new FakeConfig();
            configs.push_back(static_cast<FakeConfig*>(made));
        } else if (id == HlmPlg::IID_RESSTRING2) {
            made = new FakeResString2();
        }
        if (made != nullptr) {
            ++live[id];
        }
        return made;
    }
    void releaseInterface(int32_t id, HlmPlg::IInterface* object) override {
        std::lock_guard hold(lock_);
        --live[id];
        configs.erase(std::remove(configs.begin(), configs.end(), object), configs.end());
        delete object;
    }
    bool handleCmdLine() override { return false; }
    uint32_t run(bool) override { return 0; }
    uint32_t stop() override { return 0; }
    const char16_t* getListAttribute(const char16_t*, const char16_t* defaultValue) override {
        return defaultValue;
    }
    void setCommandLine(int32_t, const char16_t* const*) override {}
    void registerServiceHandler(HlmPlg::IServiceHandler*) override {}
    void serviceControl(uint32_t, uint32_t, void*) override {}
    void reloadConfig() override {
        std::vector<HlmPlg::IConfigHandler*> handlers;
        {
            std::lock_guard hold(lock_);
            for (FakeConfig* config : configs) {
                handlers.insert(handlers.end(), config->handlers.begin(), config->handlers.end());
            }
        }
        for (HlmPlg::IConfigHandler* handler : handlers) {
            handler->onConfigReloaded();
        }
    }

    int liveObjects(int32_t id) {
        std::lock_guard hold(lock_);
        return live[id];
    }

    bool withConfig = true;
    std::vector<FakeConfig*> configs;

  private:
    std::mutex lock_;
    std::map<int32_t, int> live;
};

// The event lines a manager reports.
class EventRecorder {
  public:
    std::function<void(const core::EventLine&)> sink() {
        return [this](const core::EventLine& line) {
            std::lock_guard hold(lock_);
            lines_.push_back(line);
        };
    }
    std::vector<core::EventLine> lines() {
        std::lock_guard hold(lock_);
        return lines_;
    }

  private:
    std::mutex lock_;
    std::vector<core::EventLine> lines_;
};

}  // namespace holm::test
