// What this system does not have in the form the portable interface asks
// for (datagrams to the journal's socket, a user started from numbers alone):
// those operations fail with "not supported" (ENOTSUP, Windows 50), so that
// the layers above report the failure instead of misbehaving.
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
