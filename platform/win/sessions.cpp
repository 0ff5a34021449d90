#include "platform/sessions.h"

#include "platform/win/logon.h"
#include "platform/win/native.h"
#include "platform/win/service_events.h"

#include <sddl.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cerrno>
#include <string>

// Sessions are the terminal-services sessions: numbered, session 0 being the
// services' own (no one logs on to it, so it is no login session). A user is
// named by a number as on the other systems: the last part of the account's
// security identifier (its relative id), with the local system account as 0,
// the id this process reports as its own (process_info.cpp).
namespace holm::platform {

namespace {

constexpr DWORD kServicesSession = 0;

using Handle = win::OwnedHandle;
using win::sessionNumber;
using win::tokenUser;
using win::userNumberOf;

template <typename T>
struct WtsMemory {
    T* data = nullptr;
    ~WtsMemory() {
        if (data != nullptr) {
            ::WTSFreeMemory(data);
        }
    }
};

// The user number of `account` ("DOMAIN\name" or "name").
std::optional<uint32_t> accountNumber(const std::wstring& account) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (!::LookupAccountNameW(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use)) {
        return std::nullopt;
    }
    return userNumberOf(sid);
}

std::wstring sessionText(DWORD session, WTS_INFO_CLASS what) {
    WtsMemory<wchar_t> text;
    DWORD size = 0;
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, what, &text.data,
                                       &size) ||
        text.data == nullptr) {
        return {};
    }
    return text.data;
}

// Whether `session` is one the session manager lists now: its queries
// answer for a session number it does not know as well (some systems give
// the caller's user then).
bool sessionListed(DWORD session) {
    WtsMemory<WTS_SESSION_INFOW> sessions;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions.data, &count)) {
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (sessions.data[i].SessionId == session) {
            return true;
        }
    }
    return false;
}

// The user logged on to `session`, from the names the session manager keeps
// (reading the user's token needs the system's own privilege).
std::optional<uint32_t> sessionUser(DWORD session) {
    if (!sessionListed(session)) {
        return std::nullopt;
    }
    const std::wstring name = sessionText(session, WTSUserName);
    if (name.empty()) {
        return std::nullopt;
    }
    const std::wstring domain = sessionText(session, WTSDomainName);
    return accountNumber(domain.empty() ? name : domain + L"\\" + name);
}

std::optional<LoginSession> describe(DWORD session) {
    if (session == kServicesSession) {
        return std::nullopt;
    }
    const auto user = sessionUser(session);
    if (!user) {
        return std::nullopt;
    }
    LoginSession result;
    result.id = std::to_string(session);
    result.uid = *user;
    result.sessionClass = "user";
    WtsMemory<USHORT> protocol;
    DWORD size = 0;
    if (::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSClientProtocolType,
                                      reinterpret_cast<LPWSTR*>(&protocol.data), &size) &&
        protocol.data != nullptr) {
        result.remote = *protocol.data != 0;  // 0: the console
    }
    return result;
}

std::optional<DWORD> sessionIdOf(uint32_t pid) {
    DWORD session = 0;
    if (!::ProcessIdToSessionId(pid, &session)) {
        return std::nullopt;
    }
    return session;
}

// The process's token user, read through a handle that keeps the process
// (and so its id) from being reused while it is read.
std::optional<ProcessOwner> ownerOf(HANDLE process, uint32_t pid) {
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code) || code != STILL_ACTIVE) {
        return std::nullopt;  // ended: its facts no longer count
    }
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &rawToken)) {
        return std::nullopt;
    }
    Handle token(rawToken);
    const auto user = tokenUser(token.get());
    const auto session = sessionIdOf(pid);
    if (!user || !session) {
        return std::nullopt;
    }
    ProcessOwner owner;
    owner.uid = *user;
    if (*session != kServicesSession) {
        owner.session = std::to_string(*session);
    }
    return owner;
}

}  // namespace

std::optional<uint32_t> sessionOwner(uint32_t sessionId) {
    if (sessionId == kServicesSession) {
        return std::nullopt;
    }
    return sessionUser(sessionId);
}

std::optional<std::set<uint32_t>> loginSessions() {
    WtsMemory<WTS_SESSION_INFOW> sessions;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions.data, &count)) {
        return std::nullopt;
    }
    std::set<uint32_t> result;
    for (DWORD i = 0; i < count; ++i) {
        const WTS_SESSION_INFOW& session = sessions.data[i];
        if (session.SessionId != kServicesSession && session.State != WTSListen &&
            session.State != WTSIdle && session.State != WTSDown && session.State != WTSInit) {
            result.insert(session.SessionId);
        }
    }
    return result;
}

struct SessionMonitor::State {
    UniqueFd event;
};

// The system tells a service of logons and logoffs through its control
// handler, which sets the session-change event (service.cpp); the monitor
// is that event, and a console program's monitor is never woken.
SessionMonitor::SessionMonitor() {
    auto event = win::sessionChangeEvent();
    if (!event) {
        failure_ = event.error().errnoValue() != 0 ? event.error().errnoValue() : ENOENT;
        return;
    }
    state_ = std::make_unique<State>();
    state_->event = std::move(*event);
}

SessionMonitor::~SessionMonitor() = default;

int SessionMonitor::descriptor() const {
    return state_ ? state_->event.get() : -1;
}

void SessionMonitor::flush() {
    if (state_) {
        ::ResetEvent(win::handleOf(state_->event.get()));
    }
}

std::optional<LoginSession> activeSeatSession() {
    const DWORD session = ::WTSGetActiveConsoleSessionId();
    if (session == 0xFFFFFFFF) {
        return std::nullopt;  // being switched, or no one at the console
    }
    return describe(session);
}

std::optional<LoginSession> loginSession(const std::string& id) {
    const auto number = sessionNumber(id);
    return number ? describe(*number) : std::nullopt;
}

std::optional<std::string> sessionOfProcess(uint32_t pid) {
    const auto session = sessionIdOf(pid);
    if (!session || *session == kServicesSession) {
        return std::nullopt;
    }
    return std::to_string(*session);
}

std::optional<ProcessOwner> processOwner(uint32_t pid) {
    if (pid == 0) {
        return std::nullopt;
    }
    Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    return process ? ownerOf(process.get(), pid) : std::nullopt;
}

std::vector<uint32_t> runningProcessIds() {
    std::vector<uint32_t> ids;
    Handle snapshot(win::nullIfInvalid(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
    if (!snapshot) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        ids.push_back(entry.th32ProcessID);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::optional<uint32_t> processUserId(uint32_t pid) {
    const auto owner = processOwner(pid);
    return owner ? std::optional(owner->uid) : std::nullopt;
}

std::string processImageName(uint32_t pid) {
    Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process) {
        std::wstring path(MAX_PATH, L'\0');
        DWORD size = static_cast<DWORD>(path.size());
        if (::QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) {
            path.resize(size);
            return win::narrow(path.substr(path.find_last_of(L"\\/") + 1));
        }
    }
    // The name the process list keeps, for a process this one may not open.
    Handle snapshot(win::nullIfInvalid(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == pid) {
            return win::narrow(entry.szExeFile);
        }
    }
    return {};
}

std::u16string desktopShellImage() {
    return u"explorer.exe";
}

namespace {

// The profile directory the system keeps for the account `sid` (its
// variables expanded); empty when it keeps none.
std::string profileDirectory(PSID sid) {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    const std::wstring key =
        L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + std::wstring(text);
    ::LocalFree(text);
    std::wstring path(MAX_PATH, L'\0');
    DWORD size = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    // A REG_EXPAND_SZ value comes expanded, as REG_SZ (asking for the
    // expandable type itself is refused unless it is left unexpanded).
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ProfileImagePath", RRF_RT_REG_SZ, nullptr,
                       path.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    path.resize(wcsnlen(path.c_str(), path.size()));
    return win::narrow(path);
}

// The environment block the system made for a logon, freed as it asks.
struct EnvironmentBlock {
    void* data = nullptr;
    ~EnvironmentBlock() {
        if (data != nullptr) {
            ::DestroyEnvironmentBlock(data);
        }
    }
};

}  // namespace

// The account whose relative id is `uid`, among this machine's accounts
// (the local system for 0). Its home is its profile directory. Windows
// keeps no shell and no numeric groups: those stay empty, the primary group
// is the machine's "users" group.
std::optional<UserAccount> userAccount(uint32_t uid) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (uid == 0) {
        if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &sidSize)) {
            return std::nullopt;
        }
    } else {
        // The machine's own identifier is the account domain of its name.
        wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
        DWORD computerSize = MAX_COMPUTERNAME_LENGTH + 1;
        wchar_t domain[256];
        DWORD domainSize = 256;
        SID_NAME_USE use;
        BYTE machine[SECURITY_MAX_SID_SIZE];
        DWORD machineSize = sizeof machine;
        if (!::GetComputerNameW(computer, &computerSize) ||
            !::LookupAccountNameW(nullptr, computer, machine, &machineSize, domain, &domainSize,
                                  &use) ||
            !::IsValidSid(machine)) {
            return std::nullopt;
        }
        const UCHAR parts = *::GetSidSubAuthorityCount(machine);
        if (parts >= SID_MAX_SUB_AUTHORITIES ||
            !::InitializeSid(sid, ::GetSidIdentifierAuthority(machine), parts + 1)) {
            return std::nullopt;
        }
        for (UCHAR i = 0; i < parts; ++i) {
            *::GetSidSubAuthority(sid, i) = *::GetSidSubAuthority(machine, i);
        }
        *::GetSidSubAuthority(sid, parts) = uid;
    }
    wchar_t name[256];
    DWORD nameSize = 256;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (!::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use) ||
        (use != SidTypeUser && use != SidTypeWellKnownGroup)) {
        return std::nullopt;
    }
    UserAccount account;
    account.uid = uid;
    account.gid = DOMAIN_GROUP_RID_USERS;
    account.name = win::narrow(name);
    account.home = profileDirectory(sid);
    return account;
}

// The system's environment for a logon of the user: its own variables and
// the profile's (USERPROFILE, APPDATA, TEMP, ...), none of this process's.
Result<std::vector<std::string>> loginEnvironment(uint32_t pid, const UserAccount& account) {
    auto logon = win::processLogon(pid, account.uid);
    if (!logon) {
        return logon.error();
    }
    EnvironmentBlock block;
    if (!::CreateEnvironmentBlock(&block.data, logon->get(), FALSE)) {
        return win::lastWin32Error();
    }
    std::vector<std::string> entries;
    for (const wchar_t* entry = static_cast<const wchar_t*>(block.data); *entry != 0;
         entry += wcslen(entry) + 1) {
        entries.push_back(win::narrow(entry));
    }
    return entries;
}

}  // namespace holm::platform
