// What the host and holm-ctl tell the operator about facilities whose form
// differs between systems, in the terms of the system they run on
// (product/host/posix/, product/host/win/).
#pragma once

#include <string>
#include <string_view>

namespace holm::product::host {

// What the control channel is called: "socket" (Linux), "pipe" (Windows).
std::string_view controlChannelNoun();

// Why login session changes cannot be followed; `listed` tells whether the
// sessions could be listed at all.
std::string noSessionFollowingText(bool listed);

// holm-ctl's help: where it finds the host and who is answered, and the
// line of exit code 4.
std::string_view holmCtlChannelHelp();
std::string_view holmCtlDeniedHelp();

}  // namespace holm::product::host
