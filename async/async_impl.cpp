#include "async/async_impl.h"

#include "platform/errors.h"

namespace holm::async {

namespace {

// The element registered, or null; a refusal with a cause becomes the
// thread's last error, one without (a request naming nothing to watch) leaves
// it as it was.
HlmPlg::IAsyncEvent* handedOut(Registration registration) {
    if (registration) {
        return *registration;
    }
    if (const auto& cause = registration.error().cause) {
        platform::setLastError(cause->windowsError());
    }
    return nullptr;
}

}  // namespace

CAsyncImpl::CAsyncImpl(CAsyncImplObjects& dispatcher, PluginCallGate& gate)
    : dispatcher_(dispatcher), owner_(std::make_shared<AsyncOwner>(gate)) {}

CAsyncImpl::~CAsyncImpl() {
    owner_->setHandler(nullptr);
    dispatcher_.cancelAll(owner_.get());
}

bool CAsyncImpl::registerHandler(HlmPlg::IHandler* handler) {
    auto* asyncHandler = dynamic_cast<HlmPlg::IAsyncHandler*>(handler);
    if (asyncHandler != nullptr) {
        owner_->setHandler(asyncHandler);
    }
    return asyncHandler != nullptr;
}

bool CAsyncImpl::unregisterHandler(HlmPlg::IHandler* handler) {
    if (dynamic_cast<HlmPlg::IAsyncHandler*>(handler) == nullptr) {
        return false;
    }
    owner_->setHandler(nullptr);  // whichever handler was registered
    return true;
}

HlmPlg::IAsyncEvent* CAsyncImpl::fireNow(uintptr_t user) {
    (void)canceller();
    return handedOut(dispatcher_.addNow(owner_, user));
}

HlmPlg::IAsyncEvent* CAsyncImpl::fireAfterNSec(int32_t seconds, uintptr_t user) {
    (void)canceller();
    return handedOut(dispatcher_.addAfterNSec(owner_, seconds, user));
}

HlmPlg::IAsyncEvent* CAsyncImpl::watchEvent(const char16_t* name, uintptr_t user) {
    (void)canceller();
    return handedOut(dispatcher_.addEvent(owner_, name, user));
}

// The native flag and the registry view change nothing: there is one view.
HlmPlg::IAsyncEvent* CAsyncImpl::watchDirectory(const char16_t* path, uint8_t subtree, uint8_t,
                                                uintptr_t user) {
    (void)canceller();
    return handedOut(dispatcher_.addDirectory(owner_, path, subtree != 0, user));
}

HlmPlg::IAsyncEvent* CAsyncImpl::watchFile(const char16_t* path, uint8_t, uintptr_t user) {
    (void)canceller();
    return handedOut(dispatcher_.addFile(owner_, path, user));
}

HlmPlg::IAsyncEvent* CAsyncImpl::watchRegistryKey(uint32_t root, const char16_t* subkey,
                                                  uint8_t subtree, uint8_t, uintptr_t user) {
    (void)canceller();
    return handedOut(dispatcher_.addRegistryKey(owner_, root, subkey, subtree != 0, user));
}

HlmPlg::IAsyncEvent* CAsyncImpl::watchRegistryValue(uint32_t root, const char16_t* subkey,
                                                    const char16_t* valueName, uint8_t,
                                                    uintptr_t user) {
    (void)canceller();
    return handedOut(dispatcher_.addRegistryValue(owner_, root, subkey, valueName, user));
}

void CAsyncImpl::cancel(HlmPlg::IAsyncEvent* event) {
    dispatcher_.cancel(event, canceller());
}

// The plugin that holds this object (set by the core once it is handed out),
// else this object's owner alone.
const void* CAsyncImpl::canceller() {
    const void* plugin = m_owner;
    if (plugin != nullptr) {
        owner_->setCanceller(plugin);
    }
    return owner_->canceller();
}

}  // namespace holm::async
