// The record of a processor fault that the core turned into a
// CHlmWin32Exception: a plain structure a plugin can read through
// CHlmWin32Exception::getExceptionPointers().
#pragma once

#include <cstddef>
#include <cstdint>

namespace HlmPlg {

// The general registers of the faulting thread (x86-64).
struct FaultRegisters {
    uint64_t rax, rbx, rcx, rdx, rsi, rdi, rbp, rsp;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip, eflags;
};

inline constexpr size_t kFaultBacktraceCapacity = 32;

struct FaultRecord {
    // The Windows exception code of the fault (0xC0000005 access violation,
    // 0xC0000094 integer divide by zero, 0xC00000FD stack overflow, ...).
    uint32_t code;
    // The signal that reported it (SIGSEGV, SIGFPE, ...) and the signal's
    // sub-code, which tells e.g. a divide from an overflow.
    int32_t signal;
    int32_t signalCode;
    // The address the fault concerns: the inaccessible address of an access
    // violation, the faulting instruction for the others.
    uint64_t address;
    FaultRegisters registers;
    // Return addresses from the faulting instruction outwards, as far as
    // frame pointers lead; the first entry is the faulting instruction.
    uint64_t backtrace[kFaultBacktraceCapacity];
    uint32_t backtraceCount;
};

}  // namespace HlmPlg
