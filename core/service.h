// The service object (IService, id 10): the channel from plugins and the
// core to the service side — status reports and stop requests to the host,
// exception and message reports and file self-test failures to the service
// handlers, the exception policy.
#pragma once

#include <cstdint>
#include <string>

#include "core/host_link.h"
#include "core/service_handlers.h"
#include "hlmplg/core.h"
#include "hlmplg/service.h"
#include "services/command_line.h"

namespace holm::core {

struct BoundaryReporting;

class CHlmPlgService : public HlmPlg::IService {
  public:
    // Service handlers of plugins older than this version are not accepted.
    static constexpr uint32_t kMinimumHandlerVersion = 0x03000100;

    // `core` (may be null) leads to the host handler; `handlers` and
    // `commandLine` are the core provider's and outlive the object.
    CHlmPlgService(HostLink* core, ServiceHandlerList& handlers,
                   services::CommandLineHolder& commandLine, std::u16string productDirectory);

    // Accepts an IServiceHandler of a plugin (the object's owner) whose
    // version is at least kMinimumHandlerVersion; the core's own requests
    // (no owner) count as the current version.
    bool registerHandler(HlmPlg::IHandler* handler) override;
    // Removes every registration of a service handler; returns when no call
    // of it runs on another thread.
    bool unregisterHandler(HlmPlg::IHandler* handler) override;

    int32_t reportException(const char16_t* place, uint32_t value,
                            std::exception& exception) override;
    int32_t reportStructuredException(const char16_t* place, uint32_t value,
                                      const HlmPlg::FaultRecord* record) override;
    void broadcastMessage(const char16_t* text, uint32_t level) override;
    void reportStartPending(uint32_t waitHintMs) override;
    void reportStopPending(uint32_t waitHintMs) override;
    void stopService(uint32_t exitCode) override;
    bool checkFile(const char16_t* path) override;
    bool selftestFile(const char16_t* path) override;
    bool catchExceptions() override;
    uint32_t trimWorkingSet() override;
    void* registerDeviceNotification(void* filter, bool allInterfaceClasses) override;
    bool unregisterDeviceNotification(void* handle) override;

  private:
    bool ownerMayRegister() const;
    // Names the fault's code, warns the host and applies HOLM_STOP_ON_FAULT.
    void onFault(const char16_t* place, HlmPlg::CHlmWin32Exception& fault);
    // The host's handler, or null without a core or a host handler.
    HlmPlg::IHlmCoreHandler* hostHandler() const;
    // Reports of failed handler calls; `toHandlers` false for onException.
    BoundaryReporting reporting(bool toHandlers = true);
    // Calls `callback` of every handler through the plugin boundary.
    template <typename Callback>
    void broadcast(const char16_t* place, Callback callback, bool toHandlers = true);

    HostLink* core_;
    ServiceHandlerList& handlers_;
    services::CommandLineHolder& commandLine_;
    std::u16string productDirectory_;
};

}  // namespace holm::core
