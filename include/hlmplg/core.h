// The host's view of the core, and the host's callback object.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/handlers.h"
#include "hlmplg/interface.h"
#include "hlmplg/plugin.h"

namespace HlmPlg {

// Service states passed to setServiceStatus.
enum ServiceState : uint32_t {
    SERVICE_STATE_STOPPED = 1,
    SERVICE_STATE_START_PENDING = 2,
    SERVICE_STATE_STOP_PENDING = 3,
};

// serviceControl's session-change request: control 14 with event type 5
// (logon) or 6 (logoff) and this record as its data.
inline constexpr uint32_t kServiceControlSessionChange = 14;
inline constexpr uint32_t kSessionLogon = 5;
inline constexpr uint32_t kSessionLogoff = 6;
struct SessionNotification {
    uint32_t size;       // sizeof(SessionNotification)
    uint32_t sessionId;  // the login session's number
};
static_assert(sizeof(SessionNotification) == 8);

// Implemented by the host; the core reports to the host only through it. The
// defaults do nothing (canStart allows the start).
class HLMPLG_API IHlmCoreHandler {
  public:
    virtual ~IHlmCoreHandler() = default;
    virtual uint32_t getVersion() { return kFrameworkVersion; }
    // level 0: failures and important events; 1: routine progress.
    virtual void log(uint32_t level, const char16_t* source, const char16_t* text) {}
    virtual void setServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs) {}
    virtual void setExitCode(uint32_t code) {}
    // The service status handle for device notifications; null on this
    // platform's hosts.
    virtual void* getStatusHandle() { return nullptr; }
    virtual void requestStop() {}
    virtual bool canStart() { return true; }
};

// The core as the host drives it.
class HLMPLG_API IHlmCore {
  public:
    virtual ~IHlmCore() = default;
    virtual uint32_t getVersion() = 0;
    virtual IInterface* createInterface(int32_t id) = 0;
    virtual void releaseInterface(int32_t id, IInterface* object) = 0;
    virtual bool handleCmdLine() = 0;
    virtual uint32_t run(bool quick) = 0;
    virtual uint32_t stop() = 0;
    virtual const char16_t* getListAttribute(const char16_t* name,
                                             const char16_t* defaultValue) = 0;
    virtual void setCommandLine(int32_t count, const char16_t* const* arguments) = 0;
    virtual void registerServiceHandler(IServiceHandler* handler) = 0;
    virtual void serviceControl(uint32_t control, uint32_t eventType, void* eventData) = 0;
    virtual void reloadConfig() = 0;
};

}  // namespace HlmPlg

// The core library's entry point: a private core for an empty `sharedName`,
// the shared core of that name otherwise. Null when initialisation fails.
extern "C" HLMPLG_API HlmPlg::IHlmCore* getHlmCore(const char16_t* pluginList,
                                                   HlmPlg::IHlmCoreHandler* handler,
                                                   const char16_t* sharedName);
