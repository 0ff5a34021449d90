#include "core/service.h"

#include <new>

#include "common/utf16.h"
#include "core/exception_policy.h"
#include "core/holm_core.h"
#include "platform/memory.h"
#include "security/verified_file.h"

namespace holm::core {

using HlmPlg::IServiceHandler;

namespace {

const char16_t* orEmpty(const char16_t* text) {
    return text != nullptr ? text : u"";
}

}  // namespace

CHlmPlgService::CHlmPlgService(CHolmCore* core, ServiceHandlerList& handlers,
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
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Older plugins do not expect the notifications of this generation.
bool CHlmPlgService::ownerMayRegister() const {
    return m_owner == nullptr || m_owner->getVersion() >= kMinimumHandlerVersion;
}

bool CHlmPlgService::unregisterHandler(HlmPlg::IHandler* handler) {
    auto* serviceHandler = dynamic_cast<IServiceHandler*>(handler);
    if (serviceHandler == nullptr) {
        return false;
    }
    handlers_.remove(serviceHandler);
    return true;
}

int32_t CHlmPlgService::reportException(const char16_t* place, uint32_t value,
                                        std::exception& exception) {
    // A processor fault (a CHlmWin32Exception carrying its fault record) gets
    // the name of its fault code and, when dumps are switched on, a crash
    // dump here, before the handlers see it. The fault handler that makes
    // such records comes with fault translation; until then no exception
    // carries one.
    const char16_t* where = orEmpty(place);
    handlers_.forEach(
        [&](IServiceHandler* handler) { handler->onException(where, value, exception); });
    return 1;
}

int32_t CHlmPlgService::reportStructuredException(const char16_t* place, uint32_t value,
                                                  const HlmPlg::FaultRecord* record) {
    HlmPlg::CHlmWin32Exception exception(record);
    return reportException(place, value, exception);
}

void CHlmPlgService::broadcastMessage(const char16_t* text, uint32_t level) {
    const char16_t* message = orEmpty(text);
    handlers_.forEach([&](IServiceHandler* handler) { handler->onMessage(message, level); });
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
    handlers_.forEach([&](IServiceHandler* handler) { handler->onSelftestFailed(failed); });
    return false;
}

bool CHlmPlgService::selftestFile(const char16_t* path) {
    if (core_ == nullptr || path == nullptr) {
        return false;
    }
    security::SelftestContext context;
    context.productDirectory = text::utf16ToUtf8(productDirectory_);
    return security::selftest(text::utf16ToUtf8(path), false, false, context).passed();
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

}  // namespace holm::core
