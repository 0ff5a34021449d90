#include "core/plugin_boundary.h"

#include <string>
#include <vector>

#include "common/format.h"
#include "common/log_text.h"
#include "common/mutex.h"
#include "core/fault_codes.h"
#include "platform/shared_library.h"

namespace holm::core {

namespace {

// Addresses in code or objects of libraries that faulted. A library with an
// abandoned frame is never unloaded, so the list only grows, by a few
// entries per fault.
struct FaultMarks {
    common::Mutex lock;
    std::vector<const void*> addresses GUARDED_BY(lock);
};

FaultMarks& faultMarks() {
    static auto* marks = new FaultMarks();  // never destroyed: read until the process ends
    return *marks;
}

void markCallee(const Callee& callee) {
    markFaulted(callee.object);
    markFaulted(callee.code);
    if (callee.faulted != nullptr) {
        *callee.faulted = true;
    }
}

// Every frame the fault abandoned: the faulting instruction and the return
// addresses on the way back to the guard, except the boundary's own frames
// in this module (the call into the plugin is made from here, and abandoning
// it is what the boundary is built for). Marking them would take this
// module, which the product also loads as the legacy bridge plugin, for
// faulted code, and keep the bridge from being unloaded.
void markFrames(const HlmPlg::FaultRecord& fault) {
    static const std::string ownModule =
        platform::modulePathContaining(reinterpret_cast<const void*>(&markFrames));
    const auto mark = [](uint64_t address) {
        const auto* code = reinterpret_cast<const void*>(address);
        if (ownModule.empty() || platform::modulePathContaining(code) != ownModule) {
            markFaulted(code);
        }
    };
    mark(fault.registers.rip);
    const uint32_t count = fault.backtraceCount < HlmPlg::kFaultBacktraceCapacity
                               ? fault.backtraceCount
                               : HlmPlg::kFaultBacktraceCapacity;
    for (uint32_t i = 0; i < count; ++i) {
        mark(fault.backtrace[i]);
    }
}

void logToHost(const BoundaryReporting& reporting, const std::u16string& line) {
    if (reporting.host != nullptr) {
        reporting.host->log(kLevelAlways, u"Core", common::logLineText(line).c_str());
    }
}

void report(const BoundaryReporting& reporting, std::u16string_view place,
            std::exception& exception) {
    const std::u16string where(place);
    if (reporting.service != nullptr && reporting.toHandlers) {
        reporting.service->reportException(where.c_str(), 0, exception);
        return;
    }
    logToHost(reporting, common::format(u"%s: exception: %S", where.c_str(),
                                        exception.what() != nullptr ? exception.what() : ""));
}

}  // namespace

void markFaulted(const void* address) {
    if (address == nullptr) {
        return;
    }
    FaultMarks& marks = faultMarks();
    common::MutexLock guard(marks.lock);
    marks.addresses.push_back(address);
}

bool faultedIn(const platform::SharedLibrary& library) {
    if (!library.valid()) {
        return false;
    }
    FaultMarks& marks = faultMarks();
    common::MutexLock guard(marks.lock);
    for (const void* address : marks.addresses) {
        if (platform::addressInModule(address, library)) {
            return true;
        }
    }
    return false;
}

namespace detail {

bool guardsFaults(const BoundaryReporting& reporting) {
    return reporting.service == nullptr || reporting.service->catchExceptions();
}

void onFault(const BoundaryReporting& reporting, std::u16string_view place, const Callee& callee,
             const HlmPlg::FaultRecord& fault) {
    markCallee(callee);
    markFrames(fault);
    HlmPlg::CHlmWin32Exception exception(&fault);
    if (reporting.service == nullptr || !reporting.toHandlers) {
        logToHost(reporting,
                  common::format(u"%s: processor fault %s (0x%08X) at %p, the process state may "
                                 u"be damaged",
                                 std::u16string(place).c_str(), codeName(fault.code), fault.code,
                                 reinterpret_cast<const void*>(fault.address)));
        return;
    }
    report(reporting, place, exception);
}

void onException(const BoundaryReporting& reporting, std::u16string_view place,
                 const Callee& callee, std::exception& exception) {
    if (dynamic_cast<HlmPlg::CHlmWin32Exception*>(&exception) != nullptr) {
        markCallee(callee);
    }
    if (reporting.service != nullptr && !reporting.service->catchExceptions()) {
        throw;
    }
    report(reporting, place, exception);
}

void onForeignException(const BoundaryReporting& reporting, std::u16string_view place,
                        const Callee& /*callee*/) {
    if (reporting.service != nullptr && !reporting.service->catchExceptions()) {
        throw;
    }
    HlmPlg::CHlmException exception(0, "non-standard exception");
    report(reporting, place, exception);
}

}  // namespace detail

}  // namespace holm::core
