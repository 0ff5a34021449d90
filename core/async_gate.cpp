#include "core/async_gate.h"

namespace holm::core {

void AsyncGate::setReporting(const BoundaryReporting& reporting) {
    std::lock_guard lock(mutex_);
    reporting_ = reporting;
}

BoundaryReporting AsyncGate::reporting() {
    std::lock_guard lock(mutex_);
    return reporting_;
}

bool AsyncGate::call(std::u16string_view place, const HlmPlg::IHandler* callee,
                     async::FunctionRef<void()> body) {
    return callPlugin(reporting(), place, calleeOf(const_cast<HlmPlg::IHandler*>(callee)),
                      [&] { body(); })
        .has_value();
}

}  // namespace holm::core
