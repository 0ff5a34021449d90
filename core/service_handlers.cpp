#include "core/service_handlers.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace holm::core {

namespace {
constexpr size_t kMaxHandlers = std::numeric_limits<int32_t>::max();
}

void ServiceHandlerList::add(HlmPlg::IServiceHandler* handler) {
    std::lock_guard guard(lock_);
    if (handlers_.size() >= kMaxHandlers) {
        throw std::length_error("list<T> too long");
    }
    handlers_.push_back(handler);
}

void ServiceHandlerList::remove(HlmPlg::IServiceHandler* handler) {
    std::unique_lock guard(lock_);
    std::erase(handlers_, handler);
    ++waitingRemovals_;
    running_.waitForOtherThreads(guard, [&](auto* running) { return running == handler; });
    --waitingRemovals_;
}

size_t ServiceHandlerList::waitingRemovals() const {
    std::lock_guard guard(lock_);
    return waitingRemovals_;
}

std::vector<HlmPlg::IServiceHandler*> ServiceHandlerList::snapshot() const {
    std::lock_guard guard(lock_);
    return handlers_;
}

size_t ServiceHandlerList::size() const {
    std::lock_guard guard(lock_);
    return handlers_.size();
}

bool ServiceHandlerList::beginCall(HlmPlg::IServiceHandler* handler) {
    std::lock_guard guard(lock_);
    if (!registered(handler)) {
        return false;
    }
    running_.begin(handler);
    return true;
}

void ServiceHandlerList::endCall(HlmPlg::IServiceHandler* handler) {
    running_.end(lock_, handler);
}

bool ServiceHandlerList::registered(HlmPlg::IServiceHandler* handler) const {
    return std::find(handlers_.begin(), handlers_.end(), handler) != handlers_.end();
}

}  // namespace holm::core
