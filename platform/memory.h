// The process's memory as the operating system sees it.
#pragma once

namespace holm::platform {

// Hands the allocator's free memory back to the system (the heap's free top
// and unused whole pages), shrinking the resident set; the counterpart of a
// working-set trim. Never fails: at worst nothing is released.
void releaseFreeMemory();

// Sets the allocator's check action to "print a message and abort" for heap
// corruption it detects (glibc mallopt M_CHECK_ACTION 3). The allocator's
// built-in integrity checks abort on corruption in any case; the extra
// per-chunk checks this action governs run only when the debugging allocator
// is preloaded (see docs/architecture.md, "Faults").
void enableHeapConsistencyChecks();

}  // namespace holm::platform
