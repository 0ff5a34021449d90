// Login sessions, as the system's session manager (logind) knows them.
#pragma once

#include <cstdint>
#include <optional>

namespace holm::platform {

// The user id of the owner of login session `sessionId` (logind's session
// named by that number); nullopt when there is no such session or no session
// manager.
std::optional<uint32_t> sessionOwner(uint32_t sessionId);

}  // namespace holm::platform
