#include "platform/sessions.h"

#include <systemd/sd-login.h>

#include <string>

namespace holm::platform {

std::optional<uint32_t> sessionOwner(uint32_t sessionId) {
    uid_t uid = 0;
    if (sd_session_get_uid(std::to_string(sessionId).c_str(), &uid) < 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(uid);
}

}  // namespace holm::platform
