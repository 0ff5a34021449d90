// Whether the core's catch sites report exceptions or let them travel on.
//
// Catching is on unless the debug switch "DisableSEH" is set or the command
// line carries the switch "seh"; with catching off every catch site rethrows,
// so a fault reaches the host (and a debugger) where it happened. Both are
// evaluated at every call, so a switch set while the service runs takes
// effect at the next call: the command line is in memory, and "DisableSEH"
// is cached and read again only when a watch on the debug key (or, while it
// does not exist, on its nearest existing parent) has fired. Without a
// registry store (or a watch) nothing is cached: each call looks again, which
// for a missing store is one failed open.
#pragma once

#include <cstdint>

#include "services/command_line.h"

namespace holm::core {

// The debug key below the local-machine root, and its switch.
inline constexpr char16_t kDebugKey[] = u"SOFTWARE\\_avdebug";
inline constexpr char16_t kDisableSehValue[] = u"DisableSEH";
inline constexpr char16_t kHeapCheckValue[] = u"heapCorruptionCheck";

// Whether the value `name` under the debug key is a nonzero DWORD. A missing
// store, key or value, or a value of another type, reads as 0. Opens the
// store for reading: nothing is created.
bool debugSwitchSet(const char16_t* name);
// Whether "DisableSEH" is set, from the cache described above.
bool sehDisabledBySwitch();

// Applies "heapCorruptionCheck" once per process: when set, the C library's
// allocator is told to report heap corruption and abort
// (platform::enableHeapConsistencyChecks). Later calls do nothing.
void applyHeapCheckSwitch();

// Whether the host is to be asked to stop after a processor fault in plugin
// code (environment HOLM_STOP_ON_FAULT=1), so that a service manager starts
// a fresh process instead of one whose state may be damaged.
bool stopOnFault();
// The exit code the host is asked to end with then.
inline constexpr uint32_t kStopOnFaultExitCode = 70;

// The exception policy: true unless "DisableSEH" is set or `commandLine` has
// the switch "seh".
bool catchExceptions(services::CommandLineHolder& commandLine);

}  // namespace holm::core
