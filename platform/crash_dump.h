// A dump of the running process in the system's own format, for the
// system's debuggers: its threads, their stacks and its modules, with the
// fault as the exception that stopped the faulting thread.
#pragma once

#include <string>

#include "hlmplg/fault_record.h"
#include "platform/result.h"

namespace holm::platform {

// Writes the dump for `fault`, caught on the calling thread, into the new
// file `path` (EEXIST when there is one), readable by the owner only. Fails
// with "not supported" (ENOTSUP, Windows 50) on a system without such a
// format, and with the system's error when it cannot be written; a file
// begun is removed then.
Status writeProcessDump(const std::string& path, const HlmPlg::FaultRecord& fault);

}  // namespace holm::platform
