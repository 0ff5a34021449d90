// An unnamed, manual-reset event local to the process: an eventfd that is
// readable while the event is set. Being a descriptor, it can be waited on with
// every other waitable of the system.
#pragma once

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

// Creates the event, set or not.
Result<UniqueFd> createLocalEvent(bool initiallySet);

// Sets the event; it stays set (nothing here ever resets it).
Status setLocalEvent(int event);

// Whether the event is set, without waiting. A descriptor that cannot be
// polled counts as not set.
bool isLocalEventSet(int event);

}  // namespace holm::platform
