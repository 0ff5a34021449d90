#include "platform/crash_dump.h"

#include "platform/win/native.h"

#include <dbghelp.h>

namespace holm::platform {

namespace {

// The faulting thread's registers as the fault record kept them: the dump's
// exception stream shows the thread where it faulted, not where the report
// is written.
CONTEXT contextOf(const HlmPlg::FaultRegisters& r) {
    CONTEXT context = {};
#if defined(_WIN64)
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    context.Rax = r.rax;
    context.Rbx = r.rbx;
    context.Rcx = r.rcx;
    context.Rdx = r.rdx;
    context.Rsi = r.rsi;
    context.Rdi = r.rdi;
    context.Rbp = r.rbp;
    context.Rsp = r.rsp;
    context.R8 = r.r8;
    context.R9 = r.r9;
    context.R10 = r.r10;
    context.R11 = r.r11;
    context.R12 = r.r12;
    context.R13 = r.r13;
    context.R14 = r.r14;
    context.R15 = r.r15;
    context.Rip = r.rip;
    context.EFlags = static_cast<DWORD>(r.eflags);
#else
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    context.Eax = static_cast<DWORD>(r.rax);
    context.Ebx = static_cast<DWORD>(r.rbx);
    context.Ecx = static_cast<DWORD>(r.rcx);
    context.Edx = static_cast<DWORD>(r.rdx);
    context.Esi = static_cast<DWORD>(r.rsi);
    context.Edi = static_cast<DWORD>(r.rdi);
    context.Ebp = static_cast<DWORD>(r.rbp);
    context.Esp = static_cast<DWORD>(r.rsp);
    context.Eip = static_cast<DWORD>(r.rip);
    context.EFlags = static_cast<DWORD>(r.eflags);
#endif
    return context;
}

}  // namespace

Status writeProcessDump(const std::string& path, const HlmPlg::FaultRecord& fault) {
    const std::wstring name = win::nativePath(path);
    // Owner-only: the default access list of a file this service creates
    // gives the system and the administrators only what they have anyway.
    win::OwnedHandle file(win::nullIfInvalid(::CreateFileW(
        name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)));
    if (!file) {
        return win::lastWin32Error();
    }
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = fault.code;
    record.ExceptionAddress = reinterpret_cast<void*>(static_cast<uintptr_t>(fault.registers.rip));
    if (fault.code == EXCEPTION_ACCESS_VIOLATION) {
        record.NumberParameters = 2;
        record.ExceptionInformation[1] = static_cast<ULONG_PTR>(fault.address);
    }
    CONTEXT context = contextOf(fault.registers);
    EXCEPTION_POINTERS pointers = {&record, &context};
    MINIDUMP_EXCEPTION_INFORMATION exception = {::GetCurrentThreadId(), &pointers, FALSE};
    const auto type = static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo |
                                                 MiniDumpWithUnloadedModules);
    // The dump library is not safe for concurrent use.
    static SRWLOCK writing = SRWLOCK_INIT;
    ::AcquireSRWLockExclusive(&writing);
    const BOOL written = ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(),
                                             file.get(), type, &exception, nullptr, nullptr);
    const DWORD error = written ? NO_ERROR : ::GetLastError();
    ::ReleaseSRWLockExclusive(&writing);
    if (!written || !::FlushFileBuffers(file.get())) {
        const Error failure = win::win32Error(written ? ::GetLastError() : error);
        file.reset();
        ::DeleteFileW(name.c_str());
        return failure;
    }
    return {};
}

}  // namespace holm::platform
