#include "core/service.h"

#include <new>

#include "common/format.h"
#include "common/log_text.h"
#include "common/utf16.h"
#include "core/exception_policy.h"
#include "core/fault_codes.h"
#include "core/handler_broadcast.h"
#include "hlmplg/fault_record.h"
#include "platform/memory.h"
#include "security/verified_file.h"
#include "services/crash_report.h"

namespace holm::core {

using HlmPlg::IServiceHandler;

namespace {

const char16_t* orEmpty(const char16_t* text) {
    return text != nullptr ? text : u"";
}

}  // namespace

CHlmPlgService::CHlmPlgService(HostLink* core, ServiceHandlerList& handlers,
                               services::CommandLineHolder& commandLine,
                               std::u16string productDirectory)
    : core_(core),
      handlers_(handlers),
      commandLine_(commandLine),
      productDirectory_(std::move(productDirectory)) {}

bool CHlmPlgService::registerHandler(HlmPlg::IHandler* handler) {
    auto* serviceHandler = dynamic_cast<IServiceHandler*>(handler);
    if (serviceHandler == nullptr || !ownerMayRegister()) {
        return false;
    }
    try {
        handlers_.add(serviceHandler);
        return true;
    } catch (const std::exception&) {
        return false;  // out of memory or room: not registered
    }
}

// Older plugins do not expect the notifications of this generation. The
// version comes from the plugin's own code, so it is asked through the
// boundary; a call that fails counts as an old plugin.
bool CHlmPlgService::ownerMayRegister() const {
    if (m_owner == nullptr) {
        return true;
    }
    const BoundaryReporting reporting{const_cast<CHlmPlgService*>(this), nullptr};
    const uint32_t version = callPlugin(reporting, u"CHlmPlg::getVersion", calleeOf(m_owner), [&] {
                                 return m_owner->getVersion();
                             }).value_or(0u);
    return version >= kMinimumHandlerVersion;
}

bool CHlmPlgService::unregisterHandler(HlmPlg::IHandler* handler) {
    auto* serviceHandler = dynamic_cast<IServiceHandler*>(handler);
    if (serviceHandler == nullptr) {
        return false;
    }
    (void)handlers_.removeAll(serviceHandler);
    return true;
}

int32_t CHlmPlgService::reportException(const char16_t* place, uint32_t value,
                                        std::exception& exception) {
    const char16_t* where = orEmpty(place);
    auto* fault = dynamic_cast<HlmPlg::CHlmWin32Exception*>(&exception);
    if (fault != nullptr && fault->getExceptionPointers() != nullptr) {
        onFault(where, *fault);
    } else if (auto* host = hostHandler()) {
        // The host's log shows every report, not only the handlers.
        const char* what = exception.what();
        const std::u16string line =
            common::format(u"%s: exception: %S", where, what != nullptr ? what : "");
        host->log(0, u"Core", common::logLineText(line).c_str());
    }
    // A handler failing in onException is logged, never reported again.
    broadcast(
        u"IServiceHandler::onException",
        [&](IServiceHandler* handler) { handler->onException(where, value, exception); }, false);
    return 1;
}

// A processor fault gets the name of its code before the handlers see it.
// The faulting frames were abandoned, so the host hears that the process may
// be damaged and, when the operator asked for it, is asked to stop so that
// its service manager starts it afresh.
void CHlmPlgService::onFault(const char16_t* place, HlmPlg::CHlmWin32Exception& fault) {
    const HlmPlg::FaultRecord& record = *fault.getExceptionPointers();
    fault.setCodeName(codeName(record.code));
    const std::optional<std::string> crashReport = services::writeMiniDump(record, place);
    auto* host = hostHandler();
    if (host == nullptr) {
        return;
    }
    const std::u16string line = common::format(
        u"%s: processor fault %s (0x%08X) at %p, the process state may be damaged", place,
        fault.getCodeName().c_str(), record.code, reinterpret_cast<const void*>(record.address));
    host->log(0, u"Core", common::logLineText(line).c_str());
    if (crashReport) {
        const std::u16string written = common::format(u"%s: crash report %s", place,
                                                      common::utf8ToUtf16(*crashReport).c_str());
        host->log(0, u"Core", common::logLineText(written).c_str());
    }
    if (stopOnFault()) {
        host->log(0, u"Core", u"StopOnFault: asking the host to stop");
        stopService(kStopOnFaultExitCode);
    }
}

int32_t CHlmPlgService::reportStructuredException(const char16_t* place, uint32_t value,
                                                  const HlmPlg::FaultRecord* record) {
    HlmPlg::CHlmWin32Exception exception(record);
    return reportException(place, value, exception);
}

void CHlmPlgService::broadcastMessage(const char16_t* text, uint32_t level) {
    const char16_t* message = orEmpty(text);
    broadcast(u"IServiceHandler::onMessage",
              [&](IServiceHandler* handler) { handler->onMessage(message, level); });
}

void CHlmPlgService::reportStartPending(uint32_t waitHintMs) {
    if (auto* host = hostHandler()) {
        host->setServiceStatus(HlmPlg::SERVICE_STATE_START_PENDING, 0, waitHintMs);
    }
}

void CHlmPlgService::reportStopPending(uint32_t waitHintMs) {
    if (auto* host = hostHandler()) {
        host->setServiceStatus(HlmPlg::SERVICE_STATE_STOP_PENDING, 0, waitHintMs);
    }
}

void CHlmPlgService::stopService(uint32_t exitCode) {
    if (auto* host = hostHandler()) {
        host->setExitCode(exitCode);
        host->requestStop();
    }
}

bool CHlmPlgService::checkFile(const char16_t* path) {
    if (selftestFile(path)) {
        return true;
    }
    const char16_t* failed = orEmpty(path);
    broadcast(u"IServiceHandler::onSelftestFailed",
              [&](IServiceHandler* handler) { handler->onSelftestFailed(failed); });
    return false;
}

bool CHlmPlgService::selftestFile(const char16_t* path) {
    if (core_ == nullptr || path == nullptr) {
        return false;
    }
    // Plugins check their own files, which their authors' enrolled keys sign.
    security::SelftestContext context;
    context.productDirectory = common::utf16ToUtf8(productDirectory_);
    context.role = security::FileRole::Plugin;
    return security::selftest(common::utf16ToUtf8(path), security::UnsignedFiles::Refuse,
                              security::LoadedFiles::Accept, context)
        .passed();
}

bool CHlmPlgService::catchExceptions() {
    return core::catchExceptions(commandLine_);
}

uint32_t CHlmPlgService::trimWorkingSet() {
    platform::releaseFreeMemory();
    return 0;
}

// Device notifications are registered for the host's service status handle.
// This platform's hosts have none (getStatusHandle is null), and there is no
// system registration to make with one, so the answer is null either way.
void* CHlmPlgService::registerDeviceNotification(void* /*filter*/, bool /*allInterfaceClasses*/) {
    auto* host = hostHandler();
    if (host == nullptr || host->getStatusHandle() == nullptr) {
        return nullptr;
    }
    return nullptr;
}

// No registration is ever handed out, so no handle is one of ours.
bool CHlmPlgService::unregisterDeviceNotification(void* /*handle*/) {
    return false;
}

HlmPlg::IHlmCoreHandler* CHlmPlgService::hostHandler() const {
    return core_ != nullptr ? core_->hostHandler() : nullptr;
}

BoundaryReporting CHlmPlgService::reporting(bool toHandlers) {
    return {this, hostHandler(), toHandlers};
}

template <typename Callback>
void CHlmPlgService::broadcast(const char16_t* place, Callback callback, bool toHandlers) {
    broadcastToHandlers(handlers_, reporting(toHandlers), place, callback);
}

}  // namespace holm::core
