#include "services/thread_text_buffer.h"

#include <mutex>

#include "platform/process_info.h"

namespace holm::services {

const char16_t* CThdSafeBufImpl::setThreadText(std::u16string_view text) {
    const uint32_t thread = platform::currentThreadId();
    std::u16string* slot = nullptr;
    {
        std::shared_lock lookup(lock_);
        const auto found = texts_.find(thread);
        if (found != texts_.end()) {
            slot = found->second.get();
        }
    }
    if (slot == nullptr) {
        std::unique_lock insert(lock_);
        auto& entry = texts_[thread];
        if (!entry) {
            entry = std::make_unique<std::u16string>();
        }
        slot = entry.get();
    }
    slot->assign(text);
    return slot->c_str();
}

}  // namespace holm::services
