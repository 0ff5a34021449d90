// The list of registered service handlers, shared by the core (broadcasts of
// run, stop and control requests) and every IService object. The lock is held
// during every broadcast.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

#include "hlmplg/handlers.h"

namespace holm::core {

class ServiceHandlerList {
  public:
    void add(HlmPlg::IServiceHandler* handler) {
        std::lock_guard guard(lock_);
        handlers_.push_back(handler);
    }
    void remove(HlmPlg::IServiceHandler* handler) {
        std::lock_guard guard(lock_);
        std::erase(handlers_, handler);
    }
    // Calls `call(handler)` for every handler in registration order, with the
    // list locked.
    template <typename Call>
    void forEach(Call call) {
        std::lock_guard guard(lock_);
        for (HlmPlg::IServiceHandler* handler : handlers_) {
            call(handler);
        }
    }
    std::unique_lock<std::recursive_mutex> lock() { return std::unique_lock(lock_); }
    const std::vector<HlmPlg::IServiceHandler*>& handlersLocked() const { return handlers_; }

  private:
    // Recursive: a handler may register another handler while it is called.
    std::recursive_mutex lock_;
    std::vector<HlmPlg::IServiceHandler*> handlers_;
};

}  // namespace holm::core
