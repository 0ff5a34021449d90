#include "product/host/system_texts.h"

namespace holm::product::host {

std::string_view controlChannelNoun() {
    return "socket";
}

std::string noSessionFollowingText(bool) {
    return "no session manager (logind)";
}

std::string_view holmCtlChannelHelp() {
    return "Asks the running avholm, over its control socket \"control\" in the runtime\n"
           "directory ($HOLM_RUNTIME_DIR, default /run/holm). Only root and the user the\n"
           "host runs as are answered.\n";
}

std::string_view holmCtlDeniedHelp() {
    return "    4  access denied: the host answers root and its own user only\n";
}

}  // namespace holm::product::host
