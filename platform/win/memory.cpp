#include "platform/memory.h"

#include "platform/win/native.h"

namespace holm::platform {

void releaseFreeMemory() {
    // The heaps give back their free blocks, then the working set is
    // trimmed.
    HANDLE heaps[64];
    const DWORD count = ::GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; ++i) {
        ::HeapCompact(heaps[i], 0);
    }
    ::SetProcessWorkingSetSize(::GetCurrentProcess(), static_cast<SIZE_T>(-1),
                               static_cast<SIZE_T>(-1));
}

void enableHeapConsistencyChecks() {
    // A corrupted heap ends the process instead of being used further.
    ::HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
}

}  // namespace holm::platform
