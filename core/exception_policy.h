// Whether the core's catch sites report exceptions or let them travel on.
//
// Catching is on unless the debug switch "DisableSEH" is set or the command
// line carries the switch "seh"; with catching off every catch site rethrows,
// so a fault reaches the host (and a debugger) where it happened. Both
// sources are read at every call, so a switch set while the service runs
// takes effect at the next catch.
#pragma once

#include "services/command_line.h"

namespace holm::core {

// The debug key below the local-machine root, and its switch.
inline constexpr char16_t kDebugKey[] = u"SOFTWARE\\_avdebug";
inline constexpr char16_t kDisableSehValue[] = u"DisableSEH";

// Whether "DisableSEH" under the debug key is a nonzero DWORD. A missing
// store, key or value, or a value of another type, reads as 0.
bool sehDisabledBySwitch();

// The exception policy: true unless "DisableSEH" is set or `commandLine` has
// the switch "seh".
bool catchExceptions(services::CommandLineHolder& commandLine);

}  // namespace holm::core
