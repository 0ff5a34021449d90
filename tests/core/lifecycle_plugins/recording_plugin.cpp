// A plugin for the lifecycle tests. Its params are "<tag>,<behaviour>,...";
// every call is appended as "<tag> <call>" to the file named by
// HOLM_LIFECYCLE_RECORD. Behaviours: fail_load, fail_start, fail_stop,
// throw_start, null (getHlmPlugin2 declines), version5 (reports 5.x),
// takes_cmdline, test_false, not_installed, provider (registers itself for id 59 while
// loaded). lifecycleTestHandler hands out a service handler of the library.
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "hlmplg/hlmplg.h"

namespace {

constexpr int32_t kOwnInterfaceId = 59;

std::string narrow(const char16_t* text) {
    std::string result;
    for (; text != nullptr && *text != 0; ++text) {
        result += static_cast<char>(*text);
    }
    return result;
}

void record(const std::string& line) {
    if (const char* file = std::getenv("HOLM_LIFECYCLE_RECORD")) {
        std::ofstream(file, std::ios::app) << line << '\n';
    }
}

class RecordingPlugin : public HlmPlg::CHlmPlg {
  public:
    RecordingPlugin(HlmPlg::IHlmPlg* facade, std::string params)
        : CHlmPlg(u"Recording", facade), params_(std::move(params)) {
        tag_ = params_.substr(0, params_.find(','));
    }
    ~RecordingPlugin() override { note("destroyed"); }

    uint32_t getVersion() override { return has("version5") ? 0x05000200 : 0x04ABCDEF; }
    bool load() override {
        note("load");
        if (has("provider")) {
            m_facade->registerProvider(kOwnInterfaceId, this);
        }
        return !has("fail_load");
    }
    bool unload() override {
        note("unload");
        return true;
    }
    bool start() override {
        note("start");
        if (has("throw_start")) {
            throw std::runtime_error("start refused");
        }
        return !has("fail_start") && CHlmPlg::start();
    }
    bool stop() override {
        note("stop");
        return !has("fail_stop") && CHlmPlg::stop();
    }
    bool handleCmdLine(HlmPlg::ICmdLine*) override {
        note("handleCmdLine");
        return has("takes_cmdline");
    }
    bool test(const char16_t* argument) override {
        note("test(" + narrow(argument) + ")");
        return !has("test_false");
    }
    bool isInstalled(HlmPlg::IConfig*) override {
        note("isInstalled");
        return !has("not_installed");
    }
    HlmPlg::IInterface* createInterface(int32_t id) override {
        return id == kOwnInterfaceId ? new HlmPlg::IInterface() : nullptr;
    }

    bool has(const std::string& behaviour) const {
        return ("," + params_ + ",").find("," + behaviour + ",") != std::string::npos;
    }
    void note(const std::string& call) const { record(tag_ + " " + call); }

  private:
    std::string params_;
    std::string tag_;
};

}  // namespace

#ifndef HOLM_WITHOUT_ENTRY
HLMPLG_PLUGIN_ENTRY {
    auto* plugin = new RecordingPlugin(facade, narrow(params));
    if (plugin->has("null")) {
        delete plugin;
        return nullptr;
    }
    return plugin;
}
#endif

// A service handler whose code and object live in this library.
extern "C" __attribute__((visibility("default"))) HlmPlg::IServiceHandler* lifecycleTestHandler() {
    static HlmPlg::IServiceHandler handler;
    return &handler;
}

#ifdef HOLM_WITH_FREE
HLMPLG_PLUGIN_FREE {
    static_cast<RecordingPlugin*>(plugin)->note("freeHlmPlugin");
    delete plugin;
}
#endif
