#include "platform/signals.h"

#include <cstdlib>

#include "platform/win/native.h"

namespace holm::platform {

// The host's stop and reload requests come from the service control
// manager on Windows, which this backend does not provide yet (see
// unsupported.h): the channel is never valid.
SignalChannel SignalChannel::open() {
    return {};
}

std::optional<HostSignal> SignalChannel::wait(std::optional<std::chrono::milliseconds>) {
    return std::nullopt;
}

void SignalChannel::wake() {}

bool blockHostSignals() {
    return false;
}

void sendHostSignalToSelf(HostSignal) {}

void exitImmediately(int status) {
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    std::_Exit(status);  // not reached
}

// The handle table grows as needed (native.h): there is no limit to raise.
void raiseOpenFileLimit() {}

void ignoreFileSizeLimitSignal() {}

void notifyServiceManager(const char*) {}

std::optional<std::chrono::microseconds> serviceWatchdogInterval() {
    return std::nullopt;
}

}  // namespace holm::platform
