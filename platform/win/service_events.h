// What the service's control handler (service.cpp) hands to the rest of the
// backend.
#pragma once

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform::win {

// A descriptor of the manual-reset event the control handler sets when a
// user logs on or off; ENOENT when the process does not run as a service
// (nobody tells a console program of sessions).
Result<UniqueFd> sessionChangeEvent();

}  // namespace holm::platform::win
