// The plugin boundary: the one place through which the core calls plugin
// code. Every such call (plugin entry points and objects, plugin and handler
// destructors, handler callbacks, provider calls into plugins, thread
// bodies) goes through callPlugin, which
//   - runs the call under a fault guard, so that a processor fault becomes a
//     failed call instead of the end of the process,
//   - catches standard exceptions (the exception shield),
//   - reports either to the service handlers under a place name
//     ("CPlugin(<name>)::start", "IServiceHandler::onRunning", ...),
//   - honours the exception policy: when catching is declined no guard is
//     armed and an exception travels on to the caller,
//   - marks the code that faulted, so that its library is never unloaded
//     (its abandoned frames still own whatever they held).
//
// Rule for callers: hold none of the core's own locks across callPlugin. A
// faulting call abandons its frames, and a lock held in one of them would
// never be released; a plugin may also call back into the core from inside
// the call.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>

#include "hlmplg/core.h"
#include "hlmplg/exceptions.h"
#include "hlmplg/fault_record.h"
#include "hlmplg/service.h"
#include "platform/fault_guard.h"
#include "platform/shared_library.h"

namespace holm::core {

// The host log levels the core writes at: always shown, and detail.
inline constexpr uint32_t kLevelAlways = 0;
inline constexpr uint32_t kLevelDetail = 1;

// Where the boundary reports. Both may be null: without a service a failed
// call is only logged to the host (and without a host not at all), and
// faults are always caught.
struct BoundaryReporting {
    HlmPlg::IService* service = nullptr;
    HlmPlg::IHlmCoreHandler* host = nullptr;
    // False for calls that are themselves part of a report (onException):
    // their failures go to the host log only, never back to the handlers.
    bool toHandlers = true;
    // True for provider calls made on a plugin's behalf: a provider's
    // exception travels on to that plugin, as the facade's contract says
    // (its base start and stop take the error code); faults are contained.
    bool passExceptions = false;
};

// What a call into plugin code touches: addresses inside the code or the
// objects of the plugin library that is called (an object, its type
// information, an entry point). A fault marks them, and with them their
// library.
// `faulted`, when given, is set too (the wrapper of a plugin keeps one).
struct Callee {
    const void* object = nullptr;
    const void* code = nullptr;
    bool* faulted = nullptr;
};

// The callee of a call on a polymorphic object: the object and its type
// information, which lies in the library that defines its class.
template <class T>
Callee calleeOf(T* object, bool* faulted = nullptr) {
    return {object, object != nullptr ? static_cast<const void*>(&typeid(*object)) : nullptr,
            faulted};
}

// The type callPlugin gives back for a call of result type T: T, or
// std::monostate for a void call.
template <class T>
using BoundaryValue = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

// Marks the library that contains `address` as faulted for the rest of the
// process; null is ignored.
void markFaulted(const void* address);
// Whether a fault was raised in code or objects of `library` (any address
// marked lies in its mapping).
bool faultedIn(const platform::SharedLibrary& library);

namespace detail {

// Whether a guard is to be armed: the policy says so (or there is no
// service to ask).
bool guardsFaults(const BoundaryReporting& reporting);
// Reports a fault caught by the guard and marks the callee.
void onFault(const BoundaryReporting& reporting, std::u16string_view place, const Callee& callee,
             const HlmPlg::FaultRecord& fault);
// Called inside a catch block: rethrows when the policy declines, else
// reports (a CHlmWin32Exception also marks the callee).
void onException(const BoundaryReporting& reporting, std::u16string_view place,
                 const Callee& callee, std::exception& exception);

// The same for an exception of a type not derived from std::exception: it
// is reported as a CHlmException with the text "non-standard exception".
void onForeignException(const BoundaryReporting& reporting, std::u16string_view place,
                        const Callee& callee);

}  // namespace detail

// Calls `call()` across the boundary. The value of the call, or nullopt when
// it failed by an exception or a processor fault (reported as described
// above). With catching declined by the policy, exceptions travel on.
template <class Call>
[[nodiscard]] auto callPlugin(const BoundaryReporting& reporting, std::u16string_view place,
                              const Callee& callee, Call&& call)
    -> std::optional<BoundaryValue<std::invoke_result_t<Call&>>> {
    using Result = std::invoke_result_t<Call&>;
    using Value = BoundaryValue<Result>;
    try {
        if (!detail::guardsFaults(reporting)) {
            if constexpr (std::is_void_v<Result>) {
                call();
                return Value{};
            } else {
                return call();
            }
        }
        auto outcome = platform::runGuarded(call);
        if (const auto* fault = std::get_if<HlmPlg::FaultRecord>(&outcome)) {
            detail::onFault(reporting, place, callee, *fault);
            return std::nullopt;
        }
        return std::move(std::get<Value>(outcome));
    } catch (abi::__forced_unwind&) {
        throw;  // a thread being cancelled must unwind
    } catch (std::exception& exception) {
        if (reporting.passExceptions) {
            throw;
        }
        detail::onException(reporting, place, callee, exception);
    } catch (...) {
        if (reporting.passExceptions) {
            throw;
        }
        detail::onForeignException(reporting, place, callee);
    }
    return std::nullopt;
}

}  // namespace holm::core
