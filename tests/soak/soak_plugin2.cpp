// libsoak2.so: a second-generation plugin for scripts/soak. The factory name
// is "Holm/Soak2/<instance>". Through the core library's gateway it reads
// the configuration, hears every reload through the configuration notifier,
// and writes numbered report-log entries to "<instance>.log" in the report
// directory (numbered backups at a small size limit), from a thread of its
// own. Counters go where the first generation's go (soak_common.h). The
// instance "failstart-1" fails its start instead.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "hlmplg/gateway.h"
#include "hlmplg/plugin2.h"
#include "soak_common.h"

namespace {

constexpr const char* kFactoryPrefix = "Holm/Soak2/";

class ReloadCounter : public HlmPlg::ISubscriber2 {
  public:
    explicit ReloadCounter(soak::Counters& counters) : counters_(counters) {}
    void onNotify() override { ++counters_["reloads"]; }

  private:
    soak::Counters& counters_;
};

class Soak2Plugin final : public HlmPlg::RefCounted<HlmPlg::IHolmPlugin2> {
  public:
    explicit Soak2Plugin(std::string factoryName)
        : factoryName_(std::move(factoryName)),
          instance_(factoryName_.substr(std::strlen(kFactoryPrefix))),
          counters_(instance_) {}

    const char* getTypeName() override { return factoryName_.c_str(); }

    uint32_t init(HlmPlg::IPluginManager2* manager) override {
        manager_ = manager;
        return 0;
    }
    void uninit() override {}

    uint32_t start() override {
        if (instance_ == "failstart-1") {
            ++counters_["start_refused"];
            counters_.write();
            return 1;
        }
        configObject_.reset(
            manager_->createObject(HlmPlg::kGatewayFactoryName, HlmPlg::kGatewayConfig));
        logObject_.reset(
            manager_->createObject(HlmPlg::kGatewayFactoryName, HlmPlg::kGatewayAvLog));
        config_ = dynamic_cast<HlmPlg::IHP2ObjConfig*>(configObject_.get());
        log_ = dynamic_cast<HlmPlg::IHP2ObjAvLog*>(logObject_.get());
        notifier_ = dynamic_cast<HlmPlg::IHP2ObjNotifier*>(
            manager_->createObject(HlmPlg::kGatewayFactoryName, HlmPlg::kGatewayConfigNotifier));
        if (config_ == nullptr || log_ == nullptr || notifier_ == nullptr) {
            ++counters_["setup_failed"];
            counters_.write();
            return 1;
        }
        const std::u16string path = config_->getReportPath(soak::widen(instance_ + ".log").c_str());
        if (log_->open(path.c_str(), 3, 96 * 1024, 1) == 0) {
            ++counters_["setup_failed"];
        }
        notifier_->subscribe(&reloads_);
        ++counters_["starts"];
        stopping_ = false;
        thread_ = std::thread([this] { work(); });
        return 0;
    }

    // The notifier belongs to the gateway, which is unloaded after this
    // plugin: unsubscribing here is safe.
    void stop() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
        if (notifier_ != nullptr) {
            notifier_->unsubscribe(&reloads_);
        }
        ++counters_["stops"];
        counters_.write();
        log_ = nullptr;
        config_ = nullptr;
        logObject_.reset();
        configObject_.reset();
    }

    HlmPlg::IPluginObject2* createObject(const char*) override { return nullptr; }

  private:
    ~Soak2Plugin() override = default;

    void work() {
        auto lastWrite = std::chrono::steady_clock::now();
        uint64_t step = 0;
        std::unique_lock lock(mutex_);
        while (
            !wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; })) {
            const std::u16string greeting = config_->readString(u"SOAK", u"Greeting", u"none");
            if (greeting.empty() || config_->readInt(u"SOAK", u"Interval", 5) <= 0) {
                ++counters_["read_wrong"];
            }
            counters_["reads"] += 2;
            if (++step % 2 == 0) {
                HlmPlg::ILogEvent* event = log_->createEvent();
                const uint64_t number = counters_["entries"].load() + 1;
                log_->addEventLineText(
                    event, 1, HlmPlg::LOG_STYLE_STAMPED, HlmPlg::LOG_CATEGORY_INFO,
                    soak::widen("soak-entry " + instance_ + " " + std::to_string(number)).c_str());
                log_->commitEvent(event);
                ++counters_["entries"];
            }
            ++counters_["thread_steps"];
            if (std::chrono::steady_clock::now() - lastWrite >= std::chrono::seconds(1)) {
                counters_.write();
                lastWrite = std::chrono::steady_clock::now();
            }
        }
    }

    std::string factoryName_;
    std::string instance_;
    soak::Counters counters_;
    ReloadCounter reloads_{counters_};
    HlmPlg::IPluginManager2* manager_ = nullptr;
    HlmPlg::RefPtr<HlmPlg::IPluginObject2> configObject_;
    HlmPlg::RefPtr<HlmPlg::IPluginObject2> logObject_;
    HlmPlg::IHP2ObjConfig* config_ = nullptr;
    HlmPlg::IHP2ObjAvLog* log_ = nullptr;
    HlmPlg::IHP2ObjNotifier* notifier_ = nullptr;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

HLMPLG_PLUGIN_FACTORY {
    if (std::strncmp(factoryName, kFactoryPrefix, std::strlen(kFactoryPrefix)) != 0 ||
        factoryName[std::strlen(kFactoryPrefix)] == 0) {
        return nullptr;
    }
    try {
        return new Soak2Plugin(factoryName);
    } catch (...) {
        return nullptr;
    }
}
