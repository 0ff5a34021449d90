#include "platform/fault_guard.h"
#include "platform/fault_guard_table.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>

#include "platform/win/native.h"

namespace holm::platform {

namespace {

// The signal numbers a record names beside the Windows code, so that
// reports read the same on every system (this C library lacks SIGTRAP).
constexpr int kSignalTrap = 5;

// What a thread needs when it faults, all prepared before any guard is
// armed (see fault_guard_table.h).
struct ThreadGuard {
    std::atomic<DWORD> owner{0};
    // The innermost armed guard's jump buffer (__builtin_setjmp: five
    // words; no unwinding on the way back, as siglongjmp on the other
    // systems).
    void** active = nullptr;
    // The frame of callArmed for the innermost armed guard (the walk below
    // finds the guard by its unwind tables instead).
    const void* armedFrame = nullptr;
    HlmPlg::FaultRecord record{};
    // A small stack the faulting thread lands on before it jumps back, so
    // that the jump never runs on an overflowed stack.
    alignas(16) unsigned char landingStack[16 * 1024];
};

constinit FaultGuardTable<ThreadGuard, std::equal_to<DWORD>> gGuards;

struct ThreadResources {
    ThreadGuard* guard = nullptr;
    bool claimed = false;
    ~ThreadResources() {
        if (guard != nullptr) {
            gGuards.release(*guard);
        }
    }
};
thread_local ThreadResources tResources;

ThreadGuard* threadGuard() {
    if (!tResources.claimed) {
        tResources.claimed = true;
        ensureAlternateSignalStack();
        tResources.guard = gGuards.claim(::GetCurrentThreadId());
    }
    return tResources.guard;
}

// The processor faults a guard contains, with the signal a report names;
// anything else (a C++ exception, a debugger's breakpoint) goes its way.
bool containedFault(DWORD code, int& signal) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_STACK_OVERFLOW:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
            signal = SIGSEGV;
            return true;
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
            signal = SIGILL;
            return true;
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_UNDERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
            signal = SIGFPE;
            return true;
        default:
            return false;
    }
}

#if defined(__x86_64__)

void copyRegisters(const CONTEXT& c, HlmPlg::FaultRegisters& r) {
    r = {c.Rax, c.Rbx, c.Rcx, c.Rdx, c.Rsi, c.Rdi, c.Rbp, c.Rsp, c.R8,
         c.R9,  c.R10, c.R11, c.R12, c.R13, c.R14, c.R15, c.Rip, c.EFlags};
}

// Return addresses from the faulting instruction outwards, by the unwind
// tables every x64 module carries, up to the guard: the frames from
// callArmed outwards are not abandoned (the guard returns into them), so
// they are not the fault's.
void walkFrames(CONTEXT context, HlmPlg::FaultRecord& record) {
    const auto guardEntry = reinterpret_cast<DWORD64>(&callArmed<ThreadGuard>);
    record.backtraceCount = 0;
    while (record.backtraceCount < HlmPlg::kFaultBacktraceCapacity && context.Rip != 0) {
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (record.backtraceCount > 0 && function != nullptr &&
            imageBase + function->BeginAddress == guardEntry) {
            break;  // a return into callArmed: the guard
        }
        record.backtrace[record.backtraceCount++] = context.Rip;
        if (function == nullptr) {
            break;  // a leaf function or code without tables: stop here
        }
        PVOID handlerData = nullptr;
        DWORD64 establisher = 0;
        ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context,
                           &handlerData, &establisher, nullptr);
    }
}

// Makes the thread continue in `target` on the stack ending at `top`
// (aligned as at a function's entry: a return address below 16 bytes).
void resumeAt(CONTEXT& context, uintptr_t top, void (*target)()) {
    context.Rsp = (top & ~uintptr_t{15}) - 8;
    context.Rip = reinterpret_cast<DWORD64>(target);
}

#else  // 32-bit x86 (built, not run: there is no 32-bit Wine here)

void copyRegisters(const CONTEXT& c, HlmPlg::FaultRegisters& r) {
    r = {c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi, c.Ebp, c.Esp, 0,
         0,     0,     0,     0,     0,     0,     0,     c.Eip, c.EFlags};
}

// 32-bit code carries no unwind tables to walk safely from a handler: the
// faulting instruction only.
void walkFrames(const CONTEXT& context, HlmPlg::FaultRecord& record) {
    record.backtrace[0] = context.Eip;
    record.backtraceCount = 1;
}

void resumeAt(CONTEXT& context, uintptr_t top, void (*target)()) {
    context.Esp = static_cast<DWORD>((top & ~uintptr_t{15}) - 4);
    context.Eip = static_cast<DWORD>(reinterpret_cast<uintptr_t>(target));
}

#endif

// Where a contained fault resumes: on the guard's landing stack, straight
// back to the guard's __builtin_setjmp.
[[noreturn]] void landAfterFault() {
    ThreadGuard* guard = gGuards.find(::GetCurrentThreadId());
    __builtin_longjmp(guard->active, 1);
}

LONG CALLBACK onException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& exception = *pointers->ExceptionRecord;
    int signal = 0;
    if (!containedFault(exception.ExceptionCode, signal)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ThreadGuard* guard = gGuards.find(::GetCurrentThreadId());
    if (guard == nullptr || guard->active == nullptr) {
        // No guard armed: what would have happened without us happens
        // (by default the process ends with the exception).
        return EXCEPTION_CONTINUE_SEARCH;
    }
    HlmPlg::FaultRecord& record = guard->record;
    record.code = exception.ExceptionCode;
    record.signal = signal;
    record.signalCode = 0;
    // An access violation's second parameter is the inaccessible address.
    const bool accessFault = exception.ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
                             exception.ExceptionCode == EXCEPTION_IN_PAGE_ERROR;
    record.address = accessFault && exception.NumberParameters >= 2
                         ? static_cast<uint64_t>(exception.ExceptionInformation[1])
                         : reinterpret_cast<uintptr_t>(exception.ExceptionAddress);
    CONTEXT& context = *pointers->ContextRecord;
    copyRegisters(context, record.registers);
    walkFrames(context, record);
    resumeAt(context, reinterpret_cast<uintptr_t>(guard->landingStack + sizeof guard->landingStack),
             &landAfterFault);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

bool installFaultHandler() {
    // First in the chain: a fault in a guarded call is contained before any
    // other handler sees it.
    static const bool installed = ::AddVectoredExceptionHandler(1, onException) != nullptr;
    return installed;
}

// The counterpart of the alternate signal stack: the stack kept free for
// the handler when the thread's stack overflows.
void ensureAlternateSignalStack() {
    ULONG reserve = 64 * 1024;
    ::SetThreadStackGuarantee(&reserve);
}

bool runWithFaultGuard(void (*body)(void*), void* context, HlmPlg::FaultRecord& fault) {
    ThreadGuard* const found = installFaultHandler() ? threadGuard() : nullptr;
    if (found == nullptr) {
        body(context);
        return true;
    }
    ThreadGuard& guard = *found;
    void** const previous = guard.active;
    const void* const previousFrame = guard.armedFrame;
    void* buffer[5];
    if (__builtin_setjmp(buffer) != 0) {
        guard.active = previous;
        guard.armedFrame = previousFrame;
        fault = guard.record;
        if (fault.code == EXCEPTION_STACK_OVERFLOW) {
            _resetstkoflw();  // the stack's guard page, for the next overflow
        }
        return false;
    }
    callArmed(guard, buffer, body, context);
    return true;
}

const char* faultSignalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        case kSignalTrap:
            return "SIGTRAP";
        default:
            return "signal";
    }
}

}  // namespace holm::platform
