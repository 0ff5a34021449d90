#include "core/async_gate.h"

#include <string>

#include "common/log_text.h"

namespace holm::core {

void AsyncGate::setReporting(const BoundaryReporting& reporting) {
    common::MutexLock lock(mutex_);
    reporting_ = reporting;
}

BoundaryReporting AsyncGate::reporting() {
    common::MutexLock lock(mutex_);
    return reporting_;
}

bool AsyncGate::call(std::u16string_view place, const HlmPlg::IHandler* callee,
                     async::FunctionRef<void()> body) {
    return callPlugin(reporting(), place, calleeOf(const_cast<HlmPlg::IHandler*>(callee)),
                      [&] { body(); })
        .has_value();
}

void AsyncGate::logLine(std::u16string_view text) {
    const BoundaryReporting current = reporting();
    if (current.host != nullptr) {
        current.host->log(kLevelAlways, u"Core", common::logLineText(std::u16string(text)).c_str());
    }
}

}  // namespace holm::core
