#include "async/thread_safe_buffer.h"

#include "platform/process_info.h"

namespace holm::async {

const char16_t* CThdSafeBufImpl::setThreadText(std::u16string_view text) {
    const uint32_t thread = platform::currentThreadId();
    std::u16string* own = nullptr;
    {
        common::ReaderLock lock(lock_);
        auto found = texts_.find(thread);
        if (found != texts_.end()) {
            own = found->second.get();
        }
    }
    if (own == nullptr) {
        auto fresh = std::make_unique<std::u16string>();
        own = fresh.get();
        common::WriterLock lock(lock_);
        texts_[thread] = std::move(fresh);
    }
    own->assign(text);
    return own->c_str();
}

}  // namespace holm::async
