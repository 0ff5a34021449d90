// The facilities this backend does not provide yet (child processes,
// sessions, host signals, the journal, datagrams to a socket): their operations
// fail with "not supported" (ENOTSUP, Windows 50) or report nothing, so that
// the layers above build and report the failure instead of misbehaving.
#pragma once

#include <cerrno>

#include "platform/result.h"

namespace holm::platform::win {

// The C runtime has no text of its own for ENOTSUP ("Unknown error"), so the
// error says it.
inline Error notSupported() {
    return Error::windows(WinError::kNotSupported, ENOTSUP).because("not supported on this system");
}

}  // namespace holm::platform::win
