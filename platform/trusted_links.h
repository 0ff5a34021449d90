// Which symbolic links a service running as root may follow to a file it
// reads or replaces.
//
// A link is followed only when every link in the chain, and the directory
// holding each, belongs to root or to the process's effective user: an
// administrator may point a file elsewhere, an unprivileged user can never
// plant a link that makes the service read or replace a file of its choice.
// Links among the directories above a name are the system's business and
// are followed as usual; the rule is for the last name of each step.
#pragma once

#include <string>

#include "platform/result.h"

namespace holm::platform {

// The path a reader or writer of `path` should use: `path` itself when its
// last name is no link (or nothing is there yet), else the end of its chain
// of trusted links (a target that does not exist yet included, so that a
// writer creates the file the link names). ELOOP (Windows 5) for a link
// that breaks the rule or a chain of more than 40 links.
Result<std::string> followTrustedLinks(const std::string& path);

}  // namespace holm::platform
