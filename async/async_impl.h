// CAsyncImpl, the IAsync (id 17) a plugin gets: one handler and the watches
// it registered on the shared dispatcher. Releasing it removes all of its
// elements from every worker; callbacks of other IAsync objects go on.
#pragma once

#include <memory>

#include "async/dispatcher.h"
#include "async/element.h"
#include "hlmplg/async.h"

namespace holm::async {

class CAsyncImpl final : public HlmPlg::IAsync {
  public:
    CAsyncImpl(CAsyncImplObjects& dispatcher, PluginCallGate& gate);
    // Clears the handler (waiting for a callback running on another thread)
    // and cancels every element of this object. From inside one of its own
    // callbacks (or any callback) nothing is waited for: the running
    // delivery ends first and the elements die after it.
    ~CAsyncImpl() override;

    bool registerHandler(HlmPlg::IHandler* handler) override;
    bool unregisterHandler(HlmPlg::IHandler* handler) override;
    HlmPlg::IAsyncEvent* fireNow(uintptr_t user) override;
    HlmPlg::IAsyncEvent* fireAfterNSec(int32_t seconds, uintptr_t user) override;
    HlmPlg::IAsyncEvent* watchEvent(const char16_t* name, uintptr_t user) override;
    HlmPlg::IAsyncEvent* watchDirectory(const char16_t* path, uint8_t subtree, uint8_t native,
                                        uintptr_t user) override;
    HlmPlg::IAsyncEvent* watchFile(const char16_t* path, uint8_t native, uintptr_t user) override;
    HlmPlg::IAsyncEvent* watchRegistryKey(uint32_t root, const char16_t* subkey, uint8_t subtree,
                                          uint8_t view, uintptr_t user) override;
    HlmPlg::IAsyncEvent* watchRegistryValue(uint32_t root, const char16_t* subkey,
                                            const char16_t* valueName, uint8_t view,
                                            uintptr_t user) override;
    void cancel(HlmPlg::IAsyncEvent* event) override;

  private:
    const void* canceller();

    CAsyncImplObjects& dispatcher_;
    const std::shared_ptr<AsyncOwner> owner_;
};

}  // namespace holm::async
