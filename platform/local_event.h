// An unnamed, manual-reset event local to the process: an eventfd that is
// readable while the event is set. Being a descriptor, it can be waited on with
// every other waitable of the system.
#pragma once

#include "platform/unique_handle.h"

namespace holm::platform {

// Creates the event, set or not; an invalid descriptor on failure.
UniqueFd createLocalEvent(bool initiallySet);

// Sets the event; it stays set (nothing here ever resets it). True on success.
bool setLocalEvent(int event);

// Whether the event is set, without waiting.
bool isLocalEventSet(int event);

}  // namespace holm::platform
