// IThread (id 13): one worker thread whose body is a plugin's
// IThreadHandler, with a synchronous start and a synchronous stop.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/handlers.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// The stop event handed to IThreadHandler::run. It is set once the thread is
// to end; run must then return.
class HLMPLG_API IStopEvent {
  public:
    virtual ~IStopEvent() = default;
    // Whether the thread is asked to end.
    virtual bool isSet() = 0;
    // Waits at most `milliseconds` (0xFFFFFFFF: without limit) for the stop
    // request; true once it is set.
    virtual bool wait(uint32_t milliseconds) = 0;
    // A descriptor that is readable while the event is set, for a body that
    // waits on its own descriptors too (poll or epoll). Owned by the thread
    // object: never read, written or closed by the plugin.
    virtual int getDescriptor() = 0;
};

inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

class HLMPLG_API IThread : public IHandlerInterface {
  public:
    // registerHandler takes an IThreadHandler (any other handler changes
    // nothing and gives false); unregisterHandler clears the handler
    // whichever IThreadHandler it is given.

    // Starts the thread; returns once it runs. False without a handler, while
    // a thread is still held (running, or ended but not stopped), or when the
    // thread cannot be created. The argument has no effect.
    virtual bool start(uint32_t unused) = 0;
    // Sets the stop event and returns once the thread has ended. False
    // without a thread, and when called from the thread's own run (it would
    // wait for itself).
    virtual bool stop() = 0;
    // An opaque handle of the thread held, or null.
    virtual void* getThreadHandle() = 0;
    // The kernel thread id of the thread held, or 0.
    virtual uint32_t getThreadId() = 0;
};

}  // namespace HlmPlg
