#include "gateway/gateway.h"

#include <cstring>
#include <new>

#include "common/format.h"
#include "gateway/av_log.h"
#include "hlmplg/interface_ids.h"

namespace holm::gateway {
namespace {

template <class T>
T* createFromCore(HlmPlg::IHlmCore* core, int32_t id) {
    HlmPlg::IInterface* made = core->createInterface(id);
    if (made == nullptr) {
        return nullptr;
    }
    if (auto* typed = dynamic_cast<T*>(made)) {
        return typed;
    }
    core->releaseInterface(id, made);
    return nullptr;
}

}  // namespace

HlmPlg::IPluginObject2* gatewayFactory(const char* factoryName) {
    if (factoryName == nullptr || std::strcmp(factoryName, HlmPlg::kGatewayFactoryName) != 0) {
        return nullptr;
    }
    return new (std::nothrow) HPlg2Gateway();
}

HPlg2Gateway::~HPlg2Gateway() {
    uninit();
}

uint32_t HPlg2Gateway::init(HlmPlg::IPluginManager2* manager) {
    core_ = manager != nullptr ? manager->getCore() : nullptr;
    if (manager != nullptr) {
        manager->setAvailableAfterInit();
    }
    if (core_ == nullptr) {
        return 1610;  // no configuration to be had
    }
    config_ = createFromCore<HlmPlg::IConfig>(core_, HlmPlg::IID_CONFIG);
    if (config_ == nullptr) {
        return 1610;
    }
    config_->registerHandler(&configNotifier_);
    return 0;
}

void HPlg2Gateway::uninit() {
    if (config_ == nullptr) {
        return;
    }
    config_->unregisterHandler(&configNotifier_);
    core_->releaseInterface(HlmPlg::IID_CONFIG, config_);
    config_ = nullptr;
}

// The notifiers are the gateway's own and exist from its construction; the
// wrappers need the core, which init brings.
HlmPlg::IPluginObject2* HPlg2Gateway::createObject(const char* typeName) {
    if (typeName == nullptr) {
        return nullptr;
    }
    const std::string_view name(typeName);
    if (name == HlmPlg::kGatewayUpdateNotifier) {
        return &updateNotifier_;
    }
    if (name == HlmPlg::kGatewayConfigNotifier) {
        return static_cast<HlmPlg::IHP2ObjConfigChangeNotifier*>(&configNotifier_);
    }
    if (core_ == nullptr) {
        return nullptr;
    }
    if (name == HlmPlg::kGatewayConfig) {
        return createConfig();
    }
    if (name == HlmPlg::kGatewayResString2) {
        return createResString2();
    }
    if (name == HlmPlg::kGatewayAvLog) {
        return createAvLog();
    }
    return nullptr;
}

HlmPlg::IPluginObject2* HPlg2Gateway::createConfig() {
    auto* config = createFromCore<HlmPlg::IConfig>(core_, HlmPlg::IID_CONFIG);
    if (config == nullptr) {
        return nullptr;
    }
    auto* wrapper = new (std::nothrow) HP2ObjConfig(config, core_);
    if (wrapper == nullptr) {
        core_->releaseInterface(HlmPlg::IID_CONFIG, config);
    }
    return wrapper;
}

HlmPlg::IPluginObject2* HPlg2Gateway::createResString2() {
    auto* strings = createFromCore<HlmPlg::IResString2>(core_, HlmPlg::IID_RESSTRING2);
    if (strings == nullptr) {
        return nullptr;
    }
    auto* wrapper = new (std::nothrow) HP2ObjResString2(strings, core_);
    if (wrapper == nullptr) {
        core_->releaseInterface(HlmPlg::IID_RESSTRING2, strings);
    }
    return wrapper;
}

HlmPlg::IPluginObject2* HPlg2Gateway::createAvLog() {
    auto* log = createFromCore<HlmPlg::ILog>(core_, HlmPlg::IID_LOG);
    if (log == nullptr) {
        return nullptr;
    }
    auto* strings = createFromCore<HlmPlg::IResString2>(core_, HlmPlg::IID_RESSTRING2);
    if (strings == nullptr) {
        core_->releaseInterface(HlmPlg::IID_LOG, log);
        return nullptr;
    }
    auto* wrapper = new (std::nothrow) HP2ObjAvLog(log, strings, core_);
    if (wrapper == nullptr) {
        core_->releaseInterface(HlmPlg::IID_LOG, log);
        core_->releaseInterface(HlmPlg::IID_RESSTRING2, strings);
    }
    return wrapper;
}

HP2ObjConfig::~HP2ObjConfig() {
    core_->releaseInterface(HlmPlg::IID_CONFIG, config_);
}

HP2ObjResString2::~HP2ObjResString2() {
    core_->releaseInterface(HlmPlg::IID_RESSTRING2, strings_);
}

std::u16string HP2ObjResString2::formatMasterText(const char16_t* name, ...) {
    const std::u16string format = strings_->getMasterText(name);
    va_list arguments;
    va_start(arguments, name);
    std::u16string text = text::vformatPrintfOrEmpty(format, arguments);
    va_end(arguments);
    return text;
}

std::u16string HP2ObjResString2::formatString(uint32_t id, ...) {
    const std::u16string format = strings_->loadString(id);
    va_list arguments;
    va_start(arguments, id);
    std::u16string text = text::vformatOrEmpty(format, arguments);
    va_end(arguments);
    return text;
}

}  // namespace holm::gateway
