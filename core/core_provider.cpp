#include "core/core_provider.h"

#include <new>

#include "common/utf16.h"
#include "containers/factory.h"
#include "core/service.h"
#include "hlmplg/interface_ids.h"
#include "platform/file_system.h"
#include "services/factory.h"

namespace holm::core {

CHlmPlgPluginManager::CHlmPlgPluginManager(HlmPlg::IHlmPlg* facade,
                                           std::unique_ptr<services::CConfigStore> store,
                                           HostLink* core)
    : CHlmPlg(u"HlmPlg", facade), core_(core), store_(std::move(store)) {}

HlmPlg::IInterface* CHlmPlgPluginManager::createInterface(int32_t id) {
    try {
        return make(id);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Ids whose service is not part of the core yet give null, like ids the core
// does not provide at all.
HlmPlg::IInterface* CHlmPlgPluginManager::make(int32_t id) {
    switch (id) {
        case HlmPlg::IID_CMDLINE:
            return new services::CCmdLineImplEx(commandLine_);
        case HlmPlg::IID_SERVICE:
            return new CHlmPlgService(core_, serviceHandlers_, commandLine_,
                                      store_->productDirectory());
        case HlmPlg::IID_KEYVALUELIST:
        case HlmPlg::IID_STRINGLIST:
        case HlmPlg::IID_DATALIST:
        case HlmPlg::IID_SERIALIZABLELIST:
            return containers::createContainer(id);
        case HlmPlg::IID_SYNCREADWRITE:
        case HlmPlg::IID_WOW64FSREDIR:
            return services::createService(id, text::utf8ToUtf16(platform::systemDirectory()));
        default:
            return nullptr;
    }
}

void CHlmPlgPluginManager::releaseInterface(HlmPlg::IInterface* object) {
    delete object;
}

}  // namespace holm::core
