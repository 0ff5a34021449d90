// The core library's entry point for hosts.
#include <exception>
#include <memory>

#include "core/exception_policy.h"
#include "core/holm_core.h"
#include "core/shared_core.h"
#include "hlmplg/core.h"

namespace holm::library {
namespace {

HlmPlg::IHlmCore* privateCore(const char16_t* pluginList, HlmPlg::IHlmCoreHandler* handler) {
    auto core = std::make_unique<holm::core::CHolmCore>(handler);
    if (core->init(pluginList) != 0) {
        return nullptr;
    }
    return core.release();
}

}  // namespace
}  // namespace holm::library

extern "C" HLMPLG_API HlmPlg::IHlmCore* getHlmCore(const char16_t* pluginList,
                                                   HlmPlg::IHlmCoreHandler* handler,
                                                   const char16_t* sharedName) {
    // Nothing may escape into the host: a failure to even construct the core
    // is a core the host does not get.
    try {
        holm::core::applyHeapCheckSwitch();
        if (sharedName == nullptr || *sharedName == u'\0') {
            return holm::library::privateCore(pluginList, handler);
        }
        return holm::core::CHolmCoreShared::instance()
            .attach(sharedName, pluginList, handler)
            .release();
    } catch (const std::exception&) {
        return nullptr;
    }
}
