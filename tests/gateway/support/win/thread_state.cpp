// Windows: where the suspended thread's context stands.
#include "gateway/support/thread_state.h"

#include <windows.h>

namespace holm::test {

// Whether thread `tid` of this process stands inside the system's own
// library (ntdll): a thread parked on a condition variable waits in one of
// its wait calls, and nothing else here keeps the thread there. Read from
// the thread's context while it is suspended.
bool threadWaits(uint32_t tid) {
    const auto system = reinterpret_cast<const unsigned char*>(::GetModuleHandleW(L"ntdll.dll"));
    if (system == nullptr) {
        return false;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(system);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(system + dos->e_lfanew);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(system);
    const uintptr_t end = begin + nt->OptionalHeader.SizeOfImage;

    HANDLE thread = ::OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, tid);
    if (thread == nullptr) {
        return false;
    }
    bool inside = false;
    if (::SuspendThread(thread) != static_cast<DWORD>(-1)) {
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        if (::GetThreadContext(thread, &context)) {
            inside = context.Rip >= begin && context.Rip < end;
        }
        ::ResumeThread(thread);
    }
    ::CloseHandle(thread);
    return inside;
}

}  // namespace holm::test
