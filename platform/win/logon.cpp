#include "platform/win/logon.h"

#include <cerrno>
#include <vector>

namespace holm::platform::win {

namespace {

// A primary token of our own that duplicates `token`: one with every right,
// whose session may be set and which a new process can be given.
Result<OwnedHandle> primaryCopy(HANDLE token) {
    HANDLE copy = nullptr;
    if (!::DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                            &copy)) {
        return lastWin32Error();
    }
    return OwnedHandle(copy);
}

bool hasEnded(HANDLE process) {
    return ::WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
}

}  // namespace

uint32_t userNumberOf(PSID sid) {
    if (::IsWellKnownSid(sid, WinLocalSystemSid)) {
        return 0;
    }
    const UCHAR parts = *::GetSidSubAuthorityCount(sid);
    return parts == 0 ? 0 : static_cast<uint32_t>(*::GetSidSubAuthority(sid, parts - 1));
}

std::optional<uint32_t> tokenUser(HANDLE token) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<uint8_t> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        return std::nullopt;
    }
    return userNumberOf(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

std::optional<DWORD> sessionNumber(const std::string& id) {
    if (id.empty() || id.size() > 10 || id.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long long number = std::stoull(id);
    if (number > 0xFFFFFFFFull || std::to_string(number) != id) {
        return std::nullopt;
    }
    return static_cast<DWORD>(number);
}

Result<OwnedHandle> processLogon(uint32_t pid, uint32_t uid) {
    OwnedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!process) {
        const DWORD code = ::GetLastError();
        // The system reports an id no process has as an invalid parameter.
        return code == ERROR_INVALID_PARAMETER
                   ? Error::windows(code, ESRCH).because("no such process")
                   : win32Error(code);
    }
    if (hasEnded(process.get())) {
        return Error::windows(ERROR_INVALID_PARAMETER, ESRCH).because("the process has ended");
    }
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw)) {
        return lastWin32Error();
    }
    const OwnedHandle token(raw);
    if (tokenUser(token.get()) != uid) {
        return Error::windows(ERROR_INVALID_PARAMETER, ESRCH)
            .because("the process runs as another user");
    }
    return primaryCopy(token.get());
}

Result<OwnedHandle> ownLogon() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw)) {
        return lastWin32Error();
    }
    const OwnedHandle token(raw);
    return primaryCopy(token.get());
}

}  // namespace holm::platform::win
