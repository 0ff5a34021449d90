// libdemo_scanner.so, the example plugin "scanner": a first-generation
// plugin that uses the engine (id 57) and the I/O driver bridge (id 58).
// Their providers are second-generation plugins; the core library, listed as
// the first-generation plugin "bridge", passes the calls on (see
// demo_engine.cpp and demo_avhio.cpp).
//
// When it starts it prints the engine's extensions and version. The driver
// bridge answers only once the second generation has started, after every
// first-generation plugin: the plugin reads its statistics when the service
// runs (IServiceHandler::onRunning), and then tells the engine's update
// notifier that the engine was updated, which second-generation subscribers
// hear (see demo_gateway.cpp).
#include <cstdio>
#include <string>

#include "hlmplg/hlmplg.h"

namespace {

std::string ascii(const char16_t* text) {
    std::string line;
    for (; text != nullptr && *text != 0; ++text) {
        line.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    }
    return line;
}

class ScannerPlugin;

class RunningHandler : public HlmPlg::IServiceHandler {
  public:
    explicit RunningHandler(ScannerPlugin& plugin) : plugin_(plugin) {}
    void onRunning() override;

  private:
    ScannerPlugin& plugin_;
};

class ScannerPlugin : public HlmPlg::CHlmPlg {
  public:
    explicit ScannerPlugin(HlmPlg::IHlmPlg* facade) : CHlmPlg(u"scanner", facade) {}

    bool load() override {
        if (!declared_) {
            declareInterface(HlmPlg::IID_ENGINE, &engine_, true);
            declareInterface(HlmPlg::IID_AVHIO, &avhio_, true);
            declareInterface(HlmPlg::IID_STRINGLIST, &extensions_, true);
            declareInterface(HlmPlg::IID_KEYVALUELIST, &statistics_, true);
            declareInterface(HlmPlg::IID_SERVICE, &service_, true);
            setInterfaceHandler(&service_, new RunningHandler(*this), true);
            declared_ = true;
        }
        return true;
    }

    bool start() override {
        if (!CHlmPlg::start()) {
            return false;
        }
        printExtensions();
        HlmPlg::EngineVersion version{};
        if (engine_->getVersionA(&version)) {
            std::fprintf(stderr, "scanner: engine %u.%u.%u.%u\n", version.values[0],
                         version.values[1], version.values[2], version.values[3]);
        }
        return true;
    }

    void onRunning() {
        avhio_->getStatistics(statistics_);
        std::fprintf(stderr, "scanner: driver %s, %d files, last file %s\n",
                     avhio_->isActive() ? "active" : "inactive", statistics_->getInt(u"file"),
                     ascii(statistics_->getString(u"lastfile")).c_str());
        engine_->notifyUpdate();
    }

  private:
    void printExtensions() {
        extensions_->clear();
        if (!engine_->getExtensionList(extensions_)) {
            std::fprintf(stderr, "scanner: no engine\n");
            return;
        }
        std::string line = "scanner: extensions";
        HlmPlg::IStringList::Iterator* items = extensions_->createIterator();
        for (const char16_t* item = items->first(); item != nullptr; item = items->next()) {
            line += " " + ascii(item);
        }
        extensions_->releaseIterator(items);
        std::fprintf(stderr, "%s\n", line.c_str());
    }

    HlmPlg::IEngine* engine_ = nullptr;
    HlmPlg::IAVHIo* avhio_ = nullptr;
    HlmPlg::IStringList* extensions_ = nullptr;
    HlmPlg::IKeyValueList* statistics_ = nullptr;
    HlmPlg::IService* service_ = nullptr;
    bool declared_ = false;
};

void RunningHandler::onRunning() {
    plugin_.onRunning();
}

}  // namespace

HLMPLG_PLUGIN_ENTRY {
    try {
        return new ScannerPlugin(facade);
    } catch (...) {
        return nullptr;
    }
}

HLMPLG_PLUGIN_FREE {
    delete plugin;
}
