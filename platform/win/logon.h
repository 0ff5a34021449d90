// Logons (access tokens): the user a token belongs to, in the numbers
// sessions.h gives users, and the logon a program started as another user,
// or in another session, runs with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/result.h"
#include "platform/win/native.h"

namespace holm::platform::win {

// The number of the user `sid` names: the last part of the security
// identifier (its relative id), the local system account 0.
uint32_t userNumberOf(PSID sid);

// The user number of the account `token` belongs to.
std::optional<uint32_t> tokenUser(HANDLE token);

// A session's number from its name: digits only, in their plain form.
std::optional<DWORD> sessionNumber(const std::string& id);

// The logon of process `pid`, which runs as user `uid`: a primary copy of
// its token, for a program started as its user. The token is opened through
// a handle that keeps the process, and so its id, from being reused
// meanwhile. ESRCH when there is no such process, it has ended, or it runs
// as another user; the system's error (access denied, 5) when the process
// or its token may not be opened.
Result<OwnedHandle> processLogon(uint32_t pid, uint32_t uid);

// A primary copy of this process's own logon.
Result<OwnedHandle> ownLogon();

}  // namespace holm::platform::win
