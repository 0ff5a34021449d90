// The core's own interface provider: makes a new service object for every
// request of one of the core's interface ids.
#pragma once

#include <memory>

#include "core/service_handlers.h"
#include "hlmplg/plugin.h"
#include "services/command_line.h"
#include "services/config_store.h"
#include "services/res_string2.h"

namespace holm::core {

class CHolmCore;

class CHlmPlgPluginManager : public HlmPlg::CHlmPlg {
  public:
    // The ids the core provides, in the order they are registered.
    static constexpr int32_t kProvidedIds[] = {5,  6,  7,  1,  2,  9,  10, 8, 12, 13,
                                               14, 15, 16, 17, 18, 19, 3,  4, 11, 21};

    // `core` (may be null) is what service objects reach the host through.
    CHlmPlgPluginManager(HlmPlg::IHlmPlg* facade, std::unique_ptr<services::CConfigStore> store,
                         CHolmCore* core);

    HlmPlg::IInterface* createInterface(int32_t id) override;
    void releaseInterface(HlmPlg::IInterface* object) override;

    services::CConfigStore& configStore() { return *store_; }
    services::CommandLineHolder& commandLine() { return commandLine_; }
    ServiceHandlerList& serviceHandlers() { return serviceHandlers_; }

  private:
    HlmPlg::IInterface* make(int32_t id);
    // What the resource-string services read of the product.
    services::ProductTexts productTexts() const;

    CHolmCore* core_;
    std::unique_ptr<services::CConfigStore> store_;
    services::CommandLineHolder commandLine_;
    ServiceHandlerList serviceHandlers_;
};

}  // namespace holm::core
