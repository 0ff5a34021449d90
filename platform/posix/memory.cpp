#include "platform/memory.h"

#include <malloc.h>

namespace holm::platform {

void releaseFreeMemory() {
    ::malloc_trim(0);
}

void enableHeapConsistencyChecks() {
    constexpr int kPrintAndAbort = 3;
    ::mallopt(M_CHECK_ACTION, kPrintAndAbort);
}

}  // namespace holm::platform
