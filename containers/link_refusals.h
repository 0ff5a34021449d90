// Files of the INI and text file objects reached through symbolic links:
// followed only as platform/trusted_links.h allows, and every refusal made
// visible. The caller hands the error (Windows 5) on as its result;
// the host's log gets one line naming the path, the first time that path
// is refused in this process.
#pragma once

#include <functional>
#include <string>

#include "platform/result.h"

namespace holm::containers {

// Where refusals are reported; the core sets its host log while it runs
// (an empty function: nowhere).
void setLinkRefusalLog(std::function<void(const std::u16string& line)> log);

// The path to read or replace for `path` (see followTrustedLinks); a
// refusal is reported before its error is returned.
platform::Result<std::string> followLinksOrReport(const std::string& path);

}  // namespace holm::containers
