// The process's memory as the operating system sees it.
#pragma once

namespace holm::platform {

// Hands the allocator's free memory back to the system (the heap's free top
// and unused whole pages), shrinking the resident set; the counterpart of a
// working-set trim. Never fails: at worst nothing is released.
void releaseFreeMemory();

}  // namespace holm::platform
