// The service object (id 10): the plugins' channel to the service side.
#pragma once

#include <cstdint>
#include <exception>

#include "hlmplg/exceptions.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

class HLMPLG_API IService : public IHandlerInterface {
  public:
    // registerHandler accepts IServiceHandler objects of plugins whose
    // version is at least 0x03000100; unregisterHandler removes them.

    // Hands an exception to every service handler; returns 1.
    virtual int32_t reportException(const char16_t* place, uint32_t value,
                                    std::exception& exception) = 0;
    // Wraps a fault record in a CHlmWin32Exception and reports it.
    virtual int32_t reportStructuredException(const char16_t* place, uint32_t value,
                                              const FaultRecord* record) = 0;
    virtual void broadcastMessage(const char16_t* text, uint32_t level) = 0;
    virtual void reportStartPending(uint32_t waitHintMs) = 0;
    virtual void reportStopPending(uint32_t waitHintMs) = 0;
    // Sets the host's exit code and asks it to stop.
    virtual void stopService(uint32_t exitCode) = 0;
    // Self-test of a file; a failure is reported to the service handlers.
    virtual bool checkFile(const char16_t* path) = 0;
    virtual bool selftestFile(const char16_t* path) = 0;
    // Whether catch sites report exceptions (true) or let them travel on.
    virtual bool catchExceptions() = 0;
    virtual uint32_t trimWorkingSet() = 0;
    virtual void* registerDeviceNotification(void* filter, bool allInterfaceClasses) = 0;
    virtual bool unregisterDeviceNotification(void* handle) = 0;
};

}  // namespace HlmPlg
