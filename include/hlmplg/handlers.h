// The handler kinds that plugins hand to services.
#pragma once

#include <cstdint>
#include <exception>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

class IAsyncEvent;
class IStopEvent;

// Receives configuration reload notifications. On a reload every registered
// handler gets onConfigReloaded(); a handler whose plugin read values that
// changed then also gets onConfigChanged().
class HLMPLG_API IConfigHandler : public IHandler {
  public:
    virtual void onConfigChanged() {}
    virtual void onConfigReloaded() {}
};

// Receives the service side's notifications. The base does nothing in any.
class HLMPLG_API IServiceHandler : public IHandler {
  public:
    // The service now runs.
    virtual void onRunning() {}
    // The core stops; called on a thread of its own.
    virtual void onStopping() {}
    // A service-control request forwarded from the host.
    virtual void onControl(uint32_t control, uint32_t eventType, void* eventData) {}
    // A file failed its self-test.
    virtual void onSelftestFailed(const char16_t* path) {}
    // An exception caught at `place` (a plugin call, a thread body, ...).
    virtual void onException(const char16_t* place, uint32_t value, std::exception& exception) {}
    // A message broadcast by a plugin or the core.
    virtual void onMessage(const char16_t* text, uint32_t level) {}
};

// Called on a dispatcher worker thread when a watch fires.
class HLMPLG_API IAsyncHandler : public IHandler {
  public:
    virtual bool onAsyncEvent(IAsyncEvent* event) = 0;
};

// The body of a thread run by the core.
class HLMPLG_API IThreadHandler : public IHandler {
  public:
    virtual const char16_t* getThreadName() = 0;
    // Runs until `stopEvent` is set (or the work is done); the result is the
    // thread's exit code.
    virtual uint32_t run(IStopEvent* stopEvent) = 0;
};

}  // namespace HlmPlg
