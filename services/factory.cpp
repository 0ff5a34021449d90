#include "services/factory.h"

#include <new>

#include "hlmplg/interface_ids.h"
#include "services/redirection_functions.h"
#include "services/res_string.h"
#include "services/sync_read_write.h"
#include "services/wow64_fs_redir.h"

namespace holm::services {

HlmPlg::IInterface* createService(int32_t id, const std::u16string& systemDirectory) {
    try {
        switch (id) {
            case HlmPlg::IID_SYNCREADWRITE:
                return new CSyncReadWriteImpl();
            case HlmPlg::IID_WOW64FSREDIR:
                return new CWow64FSRedir(systemDirectory,
                                         std::make_unique<NullRedirectionBinder>());
            default:
                return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

HlmPlg::IInterface* createTextService(int32_t id, ProductTexts product) {
    try {
        switch (id) {
            case HlmPlg::IID_RESSTRING:
                return new CResStringImplEx(MasterTextLibrary::process(product.productDirectory),
                                            std::move(product.productRegistryKey));
            case HlmPlg::IID_RESSTRING2:
                return new ResString2(std::move(product));
            default:
                return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void destroyService(HlmPlg::IInterface* service) {
    delete service;
}

}  // namespace holm::services
