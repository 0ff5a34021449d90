// The users behind login sessions.
#pragma once

#include <cstdint>
#include <string>

namespace Tandro::Utilities::AuthUser {

// The string form of the SID of session `sessionId`'s user ("S-1-22-1-<uid>",
// the form the registry store uses for users); empty when the session has no
// user or does not exist.
std::u16string getSIDFromSession(uint32_t sessionId);

}  // namespace Tandro::Utilities::AuthUser
