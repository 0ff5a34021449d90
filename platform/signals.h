// Termination and reload signals delivered through a descriptor, so that a
// host's main loop reads them like any other event instead of running code in
// a signal handler.
#pragma once

#include <chrono>
#include <optional>

#include "platform/unique_handle.h"

namespace holm::platform {

enum class HostSignal { Terminate, Interrupt, Hangup };

class SignalChannel {
  public:
    // Blocks TERM, INT and HUP in the calling thread (threads created later
    // inherit the mask) and opens a descriptor that receives them. Call it
    // before any other thread starts. Invalid when the system refuses.
    static SignalChannel open();

    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

    // Waits until a signal arrives (returned), or until wake() is called or
    // `timeout` passes (nullopt then). A negative timeout does not wait.
    std::optional<HostSignal> wait(std::optional<std::chrono::milliseconds> timeout);
    // Wakes a wait() from another thread without a signal.
    void wake();

  private:
    UniqueFd fd_;
    UniqueFd wakeFd_;
};

// Blocks TERM, INT and HUP in the calling thread, so that from here on they
// stay pending until a SignalChannel reads them. A host calls it first thing
// in main: a signal that arrives earlier still, while the dynamic loader
// starts the program, takes the default action, as for every program.
bool blockHostSignals();

// Sends `signal` to this process (for tests of early signals).
void sendHostSignalToSelf(HostSignal signal);

// Ends the process at once with `status`, without running destructors or
// exit handlers: for when other threads (plugin code) are still running and
// may never give up what an orderly exit would wait for.
[[noreturn]] void exitImmediately(int status);

// Raises the soft limit on open descriptors to the hard limit.
void raiseOpenFileLimit();

// Ignores SIGXFSZ, so that a write beyond the file-size limit fails with
// EFBIG (a full log the writer reports) instead of ending the service.
void ignoreFileSizeLimitSignal();

// Reports service state to the service manager when the process runs under
// one that asked for it (NOTIFY_SOCKET); does nothing otherwise.
void notifyServiceManager(const char* state);

// The interval within which the service manager expects WATCHDOG=1, when it
// asked this process for it (WATCHDOG_USEC set, and WATCHDOG_PID absent or
// this process); nothing otherwise.
std::optional<std::chrono::microseconds> serviceWatchdogInterval();

}  // namespace holm::platform
