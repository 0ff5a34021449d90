#include "utilities/auth_user.h"

#include "platform/sessions.h"
#include "registry/registry.h"

namespace Tandro::Utilities::AuthUser {

std::u16string getSIDFromSession(uint32_t sessionId) {
    auto owner = holm::platform::sessionOwner(sessionId);
    return owner ? holm::registry::sidOfUser(*owner) : std::u16string();
}

}  // namespace Tandro::Utilities::AuthUser
