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
    callEnded_.wait(guard, [&] { return !runningElsewhere(handler); });
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
    running_.push_back({handler, std::this_thread::get_id()});
    return true;
}

void ServiceHandlerList::endCall(HlmPlg::IServiceHandler* handler) {
    {
        std::lock_guard guard(lock_);
        const auto self = std::this_thread::get_id();
        // The latest call of this handler on this thread: calls nest when a
        // handler broadcasts from inside a call.
        for (auto call = running_.rbegin(); call != running_.rend(); ++call) {
            if (call->handler == handler && call->thread == self) {
                running_.erase(std::next(call).base());
                break;
            }
        }
    }
    callEnded_.notify_all();
}

bool ServiceHandlerList::registered(HlmPlg::IServiceHandler* handler) const {
    return std::find(handlers_.begin(), handlers_.end(), handler) != handlers_.end();
}

bool ServiceHandlerList::runningElsewhere(HlmPlg::IServiceHandler* handler) const {
    const auto self = std::this_thread::get_id();
    return std::any_of(running_.begin(), running_.end(), [&](const RunningCall& call) {
        return call.handler == handler && call.thread != self;
    });
}

}  // namespace holm::core
