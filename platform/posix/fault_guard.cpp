#include "platform/fault_guard.h"
#include "platform/fault_guard_table.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>

namespace holm::platform {

namespace {

// Windows exception codes the signals are translated to.
constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kInPageError = 0xC0000006;
constexpr uint32_t kIllegalInstruction = 0xC000001D;
constexpr uint32_t kArrayBoundsExceeded = 0xC000008C;
constexpr uint32_t kFltDivideByZero = 0xC000008E;
constexpr uint32_t kFltInexactResult = 0xC000008F;
constexpr uint32_t kFltInvalidOperation = 0xC0000090;
constexpr uint32_t kFltOverflow = 0xC0000091;
constexpr uint32_t kFltUnderflow = 0xC0000093;
constexpr uint32_t kIntDivideByZero = 0xC0000094;
constexpr uint32_t kIntOverflow = 0xC0000095;
constexpr uint32_t kPrivInstruction = 0xC0000096;
constexpr uint32_t kStackOverflow = 0xC00000FD;
constexpr uint32_t kDatatypeMisalignment = 0x80000002;
constexpr uint32_t kBreakpoint = 0x80000003;
constexpr uint32_t kSingleStep = 0x80000004;

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr size_t kAlternateStackSize = 64 * 1024;
// Below the lowest stack address, this much counts as the stack's guard area:
// the main thread's stack is kept this far from other mappings by the kernel.
constexpr uintptr_t kStackGuardReach = 1024 * 1024;

struct sigaction gPrevious[std::size(kFaultSignals)];

// What a thread needs when it faults, all prepared before any guard is
// armed (see fault_guard_table.h).
struct ThreadGuard {
    std::atomic<pthread_t> owner{0};
    sigjmp_buf* active = nullptr;
    // The frame of callArmed for the innermost armed guard.
    const void* armedFrame = nullptr;
    HlmPlg::FaultRecord record{};
    // The signal mask of the thread when it faulted: the guard restores it,
    // as the kernel would have on the handler's return.
    sigset_t maskAtFault{};
    uintptr_t stackLow = 0;
    uintptr_t stackHigh = 0;
    uintptr_t pageSize = 4096;
};

struct SameThread {
    bool operator()(pthread_t a, pthread_t b) const noexcept { return pthread_equal(a, b) != 0; }
};

constinit FaultGuardTable<ThreadGuard, SameThread> gGuards;

// The calling thread's guard and alternate stack; the guard goes back to the
// table and the stack is released when the thread ends.
struct ThreadResources {
    ThreadGuard* guard = nullptr;
    bool claimed = false;
    std::unique_ptr<char[]> alternateStack;
    ~ThreadResources() {
        if (guard != nullptr) {
            gGuards.release(*guard);
        }
        if (alternateStack) {
            stack_t disable{};
            disable.ss_flags = SS_DISABLE;
            sigaltstack(&disable, nullptr);
        }
    }
};
thread_local ThreadResources tResources;

void readStackBounds(ThreadGuard& guard) {
    guard.pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return;
    }
    void* address = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
        guard.stackLow = reinterpret_cast<uintptr_t>(address);
        guard.stackHigh = guard.stackLow + size;
    }
    pthread_attr_destroy(&attributes);
}

// The calling thread's guard, prepared on first use; null when no guard can
// be had (the call then runs unguarded).
ThreadGuard* threadGuard() {
    if (!tResources.claimed) {
        tResources.claimed = true;
        ensureAlternateSignalStack();
        tResources.guard = gGuards.claim(pthread_self());
        if (tResources.guard != nullptr) {
            readStackBounds(*tResources.guard);
        }
    }
    return tResources.guard;
}

bool isStackOverflow(const ThreadGuard& guard, uintptr_t address) {
    if (guard.stackLow == 0) {
        return false;
    }
    const uintptr_t reachLow =
        guard.stackLow > kStackGuardReach ? guard.stackLow - kStackGuardReach : 0;
    return address >= reachLow && address < guard.stackLow + 4 * guard.pageSize;
}

uint32_t windowsCode(const ThreadGuard& guard, int signal, const siginfo_t& info) {
    switch (signal) {
        case SIGSEGV:
            return isStackOverflow(guard, reinterpret_cast<uintptr_t>(info.si_addr))
                       ? kStackOverflow
                       : kAccessViolation;
        case SIGBUS:
            return info.si_code == BUS_ADRALN ? kDatatypeMisalignment : kInPageError;
        case SIGILL:
            return info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? kPrivInstruction
                                                                            : kIllegalInstruction;
        case SIGTRAP:
            return info.si_code == TRAP_TRACE ? kSingleStep : kBreakpoint;
        default:
            break;
    }
    switch (info.si_code) {  // SIGFPE
        case FPE_INTDIV:
            return kIntDivideByZero;
        case FPE_INTOVF:
            return kIntOverflow;
        case FPE_FLTDIV:
            return kFltDivideByZero;
        case FPE_FLTOVF:
            return kFltOverflow;
        case FPE_FLTUND:
            return kFltUnderflow;
        case FPE_FLTRES:
            return kFltInexactResult;
        case FPE_FLTSUB:
            return kArrayBoundsExceeded;
        default:
            return kFltInvalidOperation;
    }
}

void copyRegisters(const mcontext_t& context, HlmPlg::FaultRegisters& registers) {
    const auto* r = context.gregs;
    registers = {static_cast<uint64_t>(r[REG_RAX]), static_cast<uint64_t>(r[REG_RBX]),
                 static_cast<uint64_t>(r[REG_RCX]), static_cast<uint64_t>(r[REG_RDX]),
                 static_cast<uint64_t>(r[REG_RSI]), static_cast<uint64_t>(r[REG_RDI]),
                 static_cast<uint64_t>(r[REG_RBP]), static_cast<uint64_t>(r[REG_RSP]),
                 static_cast<uint64_t>(r[REG_R8]),  static_cast<uint64_t>(r[REG_R9]),
                 static_cast<uint64_t>(r[REG_R10]), static_cast<uint64_t>(r[REG_R11]),
                 static_cast<uint64_t>(r[REG_R12]), static_cast<uint64_t>(r[REG_R13]),
                 static_cast<uint64_t>(r[REG_R14]), static_cast<uint64_t>(r[REG_R15]),
                 static_cast<uint64_t>(r[REG_RIP]), static_cast<uint64_t>(r[REG_EFL])};
}

// Follows the frame-pointer chain, reading only inside the part of the stack
// that is in use, so a frame pointer that is not one ends the walk instead of
// faulting. After a stack overflow the stack pointer is in the guard area,
// below the stack's lowest usable address, where the walk starts instead.
// The walk ends at the guard: the frames from callArmed outwards are not
// abandoned (the guard returns into them), so they are not the fault's.
void walkFrames(const ThreadGuard& guard, HlmPlg::FaultRecord& record) {
    record.backtrace[0] = record.registers.rip;
    record.backtraceCount = 1;
    const uintptr_t low = std::max<uintptr_t>(record.registers.rsp, guard.stackLow);
    const uintptr_t high = guard.armedFrame != nullptr
                               ? reinterpret_cast<uintptr_t>(guard.armedFrame)
                               : guard.stackHigh;
    auto frame = static_cast<uintptr_t>(record.registers.rbp);
    while (record.backtraceCount < HlmPlg::kFaultBacktraceCapacity && frame >= low &&
           frame % 8 == 0 && frame + 16 <= guard.stackHigh && frame < high) {
        const auto* words = reinterpret_cast<const uintptr_t*>(frame);
        if (words[1] == 0 || words[0] >= high) {
            break;  // the end, or a return into callArmed
        }
        record.backtrace[record.backtraceCount++] = words[1];
        if (words[0] <= frame) {
            break;
        }
        frame = words[0];
    }
}

size_t signalIndex(int signal) {
    return static_cast<size_t>(
        std::find(std::begin(kFaultSignals), std::end(kFaultSignals), signal) -
        std::begin(kFaultSignals));
}

// No guard is armed: the disposition that was there before us decides. The
// default (or ignoring, which a processor fault cannot honour) is restored
// and the signal raised again, so the process ends by it as it would have.
void passOn(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = gPrevious[signalIndex(signal)];
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL &&
        previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);  // delivered when the handler returns, for sent signals too
}

void onFault(int signal, siginfo_t* info, void* context) {
    ThreadGuard* guard = gGuards.find(pthread_self());
    // Only faults the processor raised are translated; a signal sent by a
    // process (si_code <= 0) is passed on.
    if (guard == nullptr || guard->active == nullptr || info == nullptr || info->si_code <= 0) {
        passOn(signal, info, context);
        return;
    }
    HlmPlg::FaultRecord& record = guard->record;
    record.signal = signal;
    record.signalCode = info->si_code;
    record.address = reinterpret_cast<uintptr_t>(info->si_addr);
    record.code = windowsCode(*guard, signal, *info);
    copyRegisters(static_cast<ucontext_t*>(context)->uc_mcontext, record.registers);
    guard->maskAtFault = static_cast<ucontext_t*>(context)->uc_sigmask;
    walkFrames(*guard, record);
    siglongjmp(*guard->active, 1);
}

}  // namespace

bool installFaultHandler() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_sigaction = onFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        bool all = true;
        for (size_t i = 0; i < std::size(kFaultSignals); ++i) {
            all = sigaction(kFaultSignals[i], &action, &gPrevious[i]) == 0 && all;
        }
        return all;
    }();
    return installed;
}

void ensureAlternateSignalStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
        return;  // the thread has one (its own, or a sanitizer's)
    }
    const size_t size = kAlternateStackSize + static_cast<size_t>(sysconf(_SC_MINSIGSTKSZ));
    auto memory = std::make_unique<char[]>(size);
    stack_t stack{};
    stack.ss_sp = memory.get();
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) == 0) {
        tResources.alternateStack = std::move(memory);
    }
}

bool runWithFaultGuard(void (*body)(void*), void* context, HlmPlg::FaultRecord& fault) {
    ThreadGuard* const found = installFaultHandler() ? threadGuard() : nullptr;
    if (found == nullptr) {
        body(context);
        return true;
    }
    ThreadGuard& guard = *found;
    sigjmp_buf* const previous = guard.active;
    sigjmp_buf buffer;
    // The mask is not saved here (that is a system call on every guarded
    // call): only the fault path needs it, and the handler recorded it.
    const void* const previousFrame = guard.armedFrame;
    if (sigsetjmp(buffer, 0) != 0) {
        pthread_sigmask(SIG_SETMASK, &guard.maskAtFault, nullptr);
        guard.active = previous;
        guard.armedFrame = previousFrame;
        fault = guard.record;
        return false;
    }
    callArmed(guard, &buffer, body, context);
    return true;
}

const char* faultSignalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        case SIGTRAP:
            return "SIGTRAP";
        default:
            return "signal";
    }
}

}  // namespace holm::platform
