#include "platform/service.h"

namespace holm::platform {

// The service manager starts the program as it is and talks to it through
// signals and the notification socket (signals.cpp): nothing to connect to.
int runService(const std::function<int()>& body) {
    return body();
}

}  // namespace holm::platform
