// libdemo_gateway.so: a second-generation plugin ("Holm/DemoGateway/1.0")
// that uses the core through the core library's gateway
// ("Holm/Gateway/1.0"), which the plugin list loads before it:
//   - the configuration (IConfig): it prints "Greeting" of the section [DEMO];
//   - resource strings (IResString2): it prints message 581 of holmmsg.dll;
//   - the report log (IAvLog): it writes a line to the host's report log
//     (data/LOGFILES/avholm.log);
//   - the configuration notifier: told of every configuration reload
//     (`kill -HUP` the host);
//   - the update notifier: told when a first-generation plugin reports an
//     engine update through the engine interface (see demo_scanner.cpp).
// Lines go to standard error, where the host logs too.
#include <cstdio>
#include <cstring>
#include <string>

#include "hlmplg/gateway.h"
#include "hlmplg/plugin2.h"

namespace {

constexpr const char* kFactoryName = "Holm/DemoGateway/1.0";

std::string ascii(const std::u16string& text) {
    std::string line;
    for (char16_t unit : text) {
        line.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return line;
}

class Printer : public HlmPlg::ISubscriber2 {
  public:
    explicit Printer(const char* text) : text_(text) {}
    void onNotify() override { std::fprintf(stderr, "gateway demo: %s\n", text_); }

  private:
    const char* text_;
};

class DemoGatewayPlugin final : public HlmPlg::RefCounted<HlmPlg::IHolmPlugin2> {
  public:
    const char* getTypeName() override { return kFactoryName; }

    uint32_t init(HlmPlg::IPluginManager2* manager) override {
        manager_ = manager;
        return 0;
    }
    void uninit() override {}

    uint32_t start() override {
        printGreeting();
        printMessage();
        writeReportLine();
        configNotifier_ = notifier(HlmPlg::kGatewayConfigNotifier);
        updateNotifier_ = notifier(HlmPlg::kGatewayUpdateNotifier);
        if (configNotifier_ != nullptr) {
            configNotifier_->subscribe(&reloaded_);
        }
        if (updateNotifier_ != nullptr) {
            updateNotifier_->subscribe(&updated_);
        }
        return 0;
    }

    // The notifiers belong to the gateway, which the manager unloads after
    // this plugin (in reverse list order): unsubscribing here is safe.
    void stop() override {
        if (configNotifier_ != nullptr) {
            configNotifier_->unsubscribe(&reloaded_);
        }
        if (updateNotifier_ != nullptr) {
            updateNotifier_->unsubscribe(&updated_);
        }
    }

    HlmPlg::IPluginObject2* createObject(const char*) override { return nullptr; }

  private:
    ~DemoGatewayPlugin() override = default;

    HlmPlg::IHP2ObjNotifier* notifier(const char* typeName) {
        return dynamic_cast<HlmPlg::IHP2ObjNotifier*>(
            manager_->createObject(HlmPlg::kGatewayFactoryName, typeName));
    }

    void printGreeting() {
        HlmPlg::RefPtr<HlmPlg::IPluginObject2> object(
            manager_->createObject(HlmPlg::kGatewayFactoryName, HlmPlg::kGatewayConfig));
        auto* config = dynamic_cast<HlmPlg::IHP2ObjConfig*>(object.get());
        if (config == nullptr) {
            std::fprintf(stderr, "gateway demo: no configuration\n");
            return;
        }
        const char16_t* greeting = config->readString(u"DEMO", u"Greeting", u"(none)");
        std::fprintf(stderr, "gateway demo: greeting = %s\n", ascii(greeting).c_str());
    }

    void printMessage() {
        HlmPlg::RefPtr<HlmPlg::IPluginObject2> object(
            manager_->createObject(HlmPlg::kGatewayFactoryName, HlmPlg::kGatewayResString2));
        auto* strings = dynamic_cast<HlmPlg::IHP2ObjResString2*>(object.get());
        if (strings == nullptr) {
            return;
        }
        if (strings->setResourceLibrary(strings->getFilePath(u"holmmsg.dll").c_str())) {
            std::fprintf(stderr, "gateway demo: message 581 = %s\n",
                         ascii(strings->formatString(581, u"demo")).c_str());
        }
    }

    // The report log is opened with the configuration's settings; an entry
    // is written when it is committed.
    void writeReportLine() {
        HlmPlg::RefPtr<HlmPlg::IPluginObject2> logObject(
            manager_->createObject(HlmPlg::kGatewayFactoryName, HlmPlg::kGatewayAvLog));
        HlmPlg::RefPtr<HlmPlg::IPluginObject2> configObject(
            manager_->createObject(HlmPlg::kGatewayFactoryName, HlmPlg::kGatewayConfig));
        auto* log = dynamic_cast<HlmPlg::IHP2ObjAvLog*>(logObject.get());
        auto* config = dynamic_cast<HlmPlg::IHP2ObjConfig*>(configObject.get());
        if (log == nullptr || config == nullptr || log->openFromConfig(config) == 0) {
            std::fprintf(stderr, "gateway demo: no report log\n");
            return;
        }
        HlmPlg::ILogEvent* event = log->createEvent();
        log->addEventLineText(event, 1, HlmPlg::LOG_STYLE_STAMPED, HlmPlg::LOG_CATEGORY_INFO,
                              u"gateway demo: started");
        log->commitEvent(event);
        std::fprintf(stderr, "gateway demo: wrote to the report log\n");
    }

    HlmPlg::IPluginManager2* manager_ = nullptr;
    HlmPlg::IHP2ObjNotifier* configNotifier_ = nullptr;
    HlmPlg::IHP2ObjNotifier* updateNotifier_ = nullptr;
    Printer reloaded_{"the configuration was reloaded"};
    Printer updated_{"the engine was updated"};
};

}  // namespace

HLMPLG_PLUGIN_FACTORY {
    return std::strcmp(factoryName, kFactoryName) == 0 ? new DemoGatewayPlugin() : nullptr;
}
