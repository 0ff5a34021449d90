#include "platform/service.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "platform/sessions.h"
#include "platform/signals.h"
#include "platform/win/native.h"
#include "platform/win/service_events.h"

#include <tlhelp32.h>

namespace holm::platform {

namespace {

// What the service thread and the control handler share. The handler runs
// on the dispatcher's thread (the program's main thread).
struct ServiceState {
    std::mutex lock;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status = {};
    HANDLE sessionChanged = nullptr;  // manual reset, set on logon and logoff
    const std::function<int()>* body = nullptr;
    int result = 0;
};

ServiceState& serviceState() {
    static auto* state = new ServiceState();  // used until the process ends
    return *state;
}

// The controls a running service accepts; a starting or stopping one takes
// none but the queries the system answers itself.
constexpr DWORD kRunningControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                   SERVICE_ACCEPT_PARAMCHANGE | SERVICE_ACCEPT_SESSIONCHANGE;
// How long a start or stop may take before the manager thinks it hangs; the
// host's own stop limit ends a stop that takes longer.
constexpr DWORD kPendingHint = 30000;

void report(ServiceState& state, DWORD current, DWORD exitCode = NO_ERROR) {
    std::lock_guard guard(state.lock);
    if (state.handle == nullptr) {
        return;
    }
    state.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    state.status.dwCurrentState = current;
    state.status.dwControlsAccepted = current == SERVICE_RUNNING ? kRunningControls : 0;
    if (current == SERVICE_STOPPED && exitCode != NO_ERROR) {
        state.status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        state.status.dwServiceSpecificExitCode = exitCode;
    } else {
        state.status.dwWin32ExitCode = NO_ERROR;
    }
    const bool pending = current == SERVICE_START_PENDING || current == SERVICE_STOP_PENDING;
    state.status.dwCheckPoint = pending ? state.status.dwCheckPoint + 1 : 0;
    state.status.dwWaitHint = pending ? kPendingHint : 0;
    ::SetServiceStatus(state.handle, &state.status);
}

// The control codes, as the host's requests: stop and shut-down stop it
// (as TERM does), a parameter change re-reads the configuration (as HUP),
// a logon or logoff wakes the session monitor.
DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
    ServiceState& state = serviceState();
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            report(state, SERVICE_STOP_PENDING);
            sendHostSignalToSelf(HostSignal::Terminate);
            return NO_ERROR;
        case SERVICE_CONTROL_PARAMCHANGE:
            sendHostSignalToSelf(HostSignal::Hangup);
            return NO_ERROR;
        case SERVICE_CONTROL_SESSIONCHANGE:
            ::SetEvent(state.sessionChanged);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, wchar_t** arguments) {
    ServiceState& state = serviceState();
    {
        std::lock_guard guard(state.lock);
        // An own-process service: the manager ignores the name, but the
        // handler is registered under the one it started.
        state.handle = ::RegisterServiceCtrlHandlerExW(
            arguments != nullptr && arguments[0] != nullptr ? arguments[0] : L"", onControl,
            nullptr);
        state.sessionChanged = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (state.handle == nullptr) {
        state.result = 1;
        return;
    }
    report(state, SERVICE_START_PENDING);
    state.result = (*state.body)();
    report(state, SERVICE_STOPPED, static_cast<DWORD>(state.result));
}

// Whether the service manager started this process. Asking its dispatcher
// tells too, but a program started otherwise may wait seconds for the
// refusal; the manager's program being the parent tells at once.
bool startedByServiceManager() {
    win::OwnedHandle snapshot(
        win::nullIfInvalid(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
    if (!snapshot) {
        return true;  // cannot tell: ask the dispatcher
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    const DWORD self = ::GetCurrentProcessId();
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self) {
            const std::string parent = processImageName(entry.th32ParentProcessID);
            return ::CompareStringOrdinal(win::wide(parent).c_str(), -1, L"services.exe", -1,
                                          TRUE) == CSTR_EQUAL;
        }
    }
    return true;
}

}  // namespace

int runService(const std::function<int()>& body) {
    ServiceState& state = serviceState();
    state.body = &body;
    wchar_t noName[] = L"";
    const SERVICE_TABLE_ENTRYW table[] = {{noName, serviceMain}, {nullptr, nullptr}};
    if (startedByServiceManager() && ::StartServiceCtrlDispatcherW(table)) {
        return state.result;  // the service has stopped
    }
    // Not started by the service manager: a console program.
    return body();
}

// The states the host reports ("READY=1", "STOPPING=1", "RELOADING=1" and
// text beside them, one a line) as the service's; nothing when the process
// is no service.
void notifyServiceManager(const char* notification) {
    ServiceState& state = serviceState();
    const std::string_view text(notification != nullptr ? notification : "");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        if (line == "READY=1") {
            report(state, SERVICE_RUNNING);
        } else if (line == "STOPPING=1") {
            report(state, SERVICE_STOP_PENDING);
        }
        start = end + 1;
    }
}

// The process's standard error handle becomes the file: descriptor 2 of this
// backend (native.h), through which the host writes its lines, and what the
// children started from here on get. A service starts without one.
Status appendStandardErrorTo(const std::string& path) {
    const std::wstring name = win::nativePath(path);
    HANDLE file = ::CreateFileW(name.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return win::lastWin32Error();
    }
    std::fflush(stderr);
    ::SetStdHandle(STD_ERROR_HANDLE, file);  // kept until the process ends
    return {};
}

namespace win {

Result<UniqueFd> sessionChangeEvent() {
    ServiceState& state = serviceState();
    HANDLE copy = nullptr;
    {
        std::lock_guard guard(state.lock);
        if (state.sessionChanged == nullptr) {
            return Error::fromErrno(ENOENT);
        }
        if (!::DuplicateHandle(::GetCurrentProcess(), state.sessionChanged, ::GetCurrentProcess(),
                               &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            return lastWin32Error();
        }
    }
    UniqueFd fd(adoptHandle(copy, HandleKind::Event));
    if (!fd) {
        return Error::fromErrno(EMFILE);
    }
    return fd;
}

}  // namespace win

}  // namespace holm::platform
