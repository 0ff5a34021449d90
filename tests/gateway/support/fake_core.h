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
#include "support/stub_config.h"

namespace holm::test {

class FakeConfig : public StubConfig {
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
    bool isModuleAvailable(uint32_t id) override { return id == 7; }
    const char16_t* readString(const char16_t* section, const char16_t* key,
                               const char16_t* defaultValue) override {
        last_ = std::u16string(section) + u"/" + key;
        return last_ == u"DEMO/Greeting" ? u"hello" : defaultValue;
    }
    int32_t readInt(const char16_t*, const char16_t* key, int32_t defaultValue) override {
        const auto found = ints.find(key);
        return found != ints.end() ? found->second : defaultValue;
    }

    std::vector<HlmPlg::IConfigHandler*> handlers;
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
        if (id == HlmPlg::IID_CONFIG && withConfig && configOfAnotherType) {
            made = new FakeResString2();  // a faulty provider's object
        } else if (id == HlmPlg::IID_CONFIG && withConfig) {
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
    std::atomic<bool> configOfAnotherType{false};  // id 1 hands out a resource-string object
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
