#include "platform/crash_dump.h"

#include <cerrno>

namespace holm::platform {

// The kernel's core dumps end the process; a process that goes on after a
// fault reports it in text (the crash report) instead.
Status writeProcessDump(const std::string&, const HlmPlg::FaultRecord&) {
    return Error::fromErrno(ENOTSUP);
}

}  // namespace holm::platform
