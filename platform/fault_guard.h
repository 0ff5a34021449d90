// Processor faults (invalid access, integer divide by zero, illegal
// instruction, stack overflow, ...) raised while a guard is armed on the
// faulting thread become a fault record returned to the guard instead of
// ending the process.
//
// The handler runs on an alternate signal stack (so a stack overflow can be
// handled), fills a record prepared in advance for the thread (it allocates
// nothing) and jumps back to the innermost armed guard of its thread. The
// frames between the guard and the fault are abandoned: their destructors do
// not run. A fault on a thread with no armed guard goes to the disposition
// that was in place before the handler was installed (by default the process
// dies with the signal).
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "hlmplg/fault_record.h"

namespace holm::platform {

// Installs the process-wide fault handler once (later calls do nothing) and
// reports whether it is installed. Called by the guard before it arms, so a
// process that never guards a call never has the handler installed.
bool installFaultHandler();

// The name of a fault signal ("SIGSEGV", "SIGFPE", ...) as a report shows
// it; "signal" for any other number.
const char* faultSignalName(int signal);

// Gives the calling thread an alternate signal stack of its own unless it
// already has one; it is released when the thread ends. Threads that run
// plugin code call this before any guard is armed on them.
void ensureAlternateSignalStack();

// Runs `body(context)` with a guard armed on the calling thread. Returns true
// when it returned (or threw: exceptions pass through and disarm the guard),
// false when a fault interrupted it; `fault` then holds the fault's record.
// Should no guard be available (the handler cannot be installed, or 4096
// threads hold guards at once) the body runs unguarded.
bool runWithFaultGuard(void (*body)(void*), void* context, HlmPlg::FaultRecord& fault);

// The result of a guarded call: the call's value (std::monostate for a void
// call) or the record of the fault that interrupted it.
template <class T>
using FaultOutcome =
    std::variant<std::conditional_t<std::is_void_v<T>, std::monostate, T>, HlmPlg::FaultRecord>;

// Runs `call()` under a fault guard (see runWithFaultGuard). The result type
// must be default-constructible.
template <class F>
auto runGuarded(F&& call) -> FaultOutcome<std::invoke_result_t<F&>> {
    using Result = std::invoke_result_t<F&>;
    using Value = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
    struct Frame {
        F& call;
        Value value{};
    } frame{call};
    // Written whole on the fault path only; a call that returns never
    // reads it, so it is not cleared first (it is larger than most calls).
    HlmPlg::FaultRecord fault;
    const bool completed = runWithFaultGuard(
        [](void* context) {
            auto& inner = *static_cast<Frame*>(context);
            if constexpr (std::is_void_v<Result>) {
                inner.call();
            } else {
                inner.value = inner.call();
            }
        },
        &frame, fault);
    if (!completed) {
        return fault;
    }
    return std::move(frame.value);
}

}  // namespace holm::platform
