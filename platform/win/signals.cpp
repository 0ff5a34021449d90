#include "platform/signals.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/win/native.h"

namespace holm::platform {

namespace {

// The console's stop requests, as the host's signals: Ctrl+C is INT; Ctrl+Break,
// closing the console and the system's shut-down are TERM. The handler runs
// on a thread of the system's; it queues the request and sets the channel's
// event, which also carries wake().
struct ConsoleRequests {
    std::mutex lock;
    std::deque<HostSignal> pending;
    HANDLE event = nullptr;  // owned by the channel's descriptor
};

ConsoleRequests& consoleRequests() {
    static auto* requests = new ConsoleRequests();  // used until the process ends
    return *requests;
}

void queueRequest(HostSignal signal) {
    ConsoleRequests& requests = consoleRequests();
    std::lock_guard guard(requests.lock);
    requests.pending.push_back(signal);
    if (requests.event != nullptr) {
        ::SetEvent(requests.event);
    }
}

BOOL WINAPI onConsoleControl(DWORD control) {
    switch (control) {
        case CTRL_C_EVENT:
            queueRequest(HostSignal::Interrupt);
            return TRUE;
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            queueRequest(HostSignal::Terminate);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

// Stop requests come from the console, and from the service manager through
// the service's control handler (service.cpp).
SignalChannel SignalChannel::open() {
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        return {};
    }
    const int fd = win::adoptHandle(event, win::HandleKind::Event);
    if (fd < 0) {
        ::CloseHandle(event);
        return {};
    }
    ConsoleRequests& requests = consoleRequests();
    {
        std::lock_guard guard(requests.lock);
        requests.event = event;
        if (!requests.pending.empty()) {
            ::SetEvent(event);  // a request that came before the channel
        }
    }
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
    SignalChannel channel;
    channel.fd_ = UniqueFd(fd);
    return channel;
}

std::optional<HostSignal> SignalChannel::wait(std::optional<std::chrono::milliseconds> timeout) {
    if (!valid()) {
        return std::nullopt;
    }
    ConsoleRequests& requests = consoleRequests();
    const auto take = [&]() -> std::optional<HostSignal> {
        std::lock_guard guard(requests.lock);
        if (requests.pending.empty()) {
            return std::nullopt;
        }
        const HostSignal signal = requests.pending.front();
        requests.pending.pop_front();
        if (!requests.pending.empty()) {
            ::SetEvent(win::handleOf(fd_.get()));  // the next one is still there
        }
        return signal;
    };
    if (auto signal = take()) {
        return signal;
    }
    DWORD milliseconds = INFINITE;
    if (timeout) {
        milliseconds = timeout->count() <= 0 ? 0
                       : timeout->count() >= static_cast<int64_t>(INFINITE - 1)
                           ? INFINITE - 1
                           : static_cast<DWORD>(timeout->count());
    }
    if (::WaitForSingleObject(win::handleOf(fd_.get()), milliseconds) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    return take();  // nothing queued: wake()
}

void SignalChannel::wake() {
    if (valid()) {
        ::SetEvent(win::handleOf(fd_.get()));
    }
}

// Console requests reach only the channel's handler, which queues them until
// the channel reads them: nothing to block.
bool blockHostSignals() {
    return true;
}

void sendHostSignalToSelf(HostSignal signal) {
    queueRequest(signal);
}

void exitImmediately(int status) {
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    std::_Exit(status);  // not reached
}

// The handle table grows as needed (native.h): there is no limit to raise.
void raiseOpenFileLimit() {}

void ignoreFileSizeLimitSignal() {}

std::optional<std::chrono::microseconds> serviceWatchdogInterval() {
    return std::nullopt;
}

}  // namespace holm::platform
