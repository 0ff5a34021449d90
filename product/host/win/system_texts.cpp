#include "product/host/system_texts.h"

namespace holm::product::host {

std::string_view controlChannelNoun() {
    return "pipe";
}

// The system tells a service of logons and logoffs through its control
// handler; a host run from a console has none.
std::string noSessionFollowingText(bool listed) {
    return listed ? "not running as a service (only services hear of session changes)"
                  : "the terminal sessions cannot be listed";
}

std::string_view holmCtlChannelHelp() {
    return "Asks the running avholm, over its control pipe \\\\.\\pipe\\holm-control (with\n"
           "$HOLM_RUNTIME_DIR set, a name of that directory's own). The host answers the\n"
           "local system account, elevated administrators and the user it runs as; a pipe\n"
           "of that name owned by any other account is not asked.\n";
}

std::string_view holmCtlDeniedHelp() {
    return "    4  access denied: the host answers the system, elevated administrators\n"
           "       and its own user only\n";
}

}  // namespace holm::product::host
