#include "services/config_handlers.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace holm::services {

namespace {
constexpr size_t kMaxPairs = std::numeric_limits<int32_t>::max();
}

void ConfigHandlerList::add(ConfigHandlerPair pair) {
    std::lock_guard guard(lock_);
    if (pairs_.size() >= kMaxPairs) {
        throw std::length_error("list<T> too long");
    }
    pairs_.push_back(pair);
}

bool ConfigHandlerList::remove(HlmPlg::IConfigHandler* handler) {
    std::unique_lock guard(lock_);
    auto found = std::find_if(pairs_.begin(), pairs_.end(), [&](const ConfigHandlerPair& pair) {
        return pair.handler == handler;
    });
    if (found == pairs_.end()) {
        return false;
    }
    pairs_.erase(found);
    waitForCallsElsewhere(guard, {handler});
    return true;
}

void ConfigHandlerList::removeObject(const void* object) {
    std::unique_lock guard(lock_);
    std::vector<HlmPlg::IConfigHandler*> removed;
    std::erase_if(pairs_, [&](const ConfigHandlerPair& pair) {
        if (pair.object != object) {
            return false;
        }
        removed.push_back(pair.handler);
        return true;
    });
    waitForCallsElsewhere(guard, removed);
}

void ConfigHandlerList::waitForCallsElsewhere(
    std::unique_lock<std::mutex>& guard, const std::vector<HlmPlg::IConfigHandler*>& handlers) {
    running_.waitForOtherThreads(guard, [&](HlmPlg::IConfigHandler* running) {
        return std::find(handlers.begin(), handlers.end(), running) != handlers.end();
    });
}

std::vector<ConfigHandlerPair> ConfigHandlerList::snapshot() const {
    std::lock_guard guard(lock_);
    return pairs_;
}

size_t ConfigHandlerList::size() const {
    std::lock_guard guard(lock_);
    return pairs_.size();
}

bool ConfigHandlerList::beginCall(const ConfigHandlerPair& pair) {
    std::lock_guard guard(lock_);
    if (std::find(pairs_.begin(), pairs_.end(), pair) == pairs_.end()) {
        return false;
    }
    running_.begin(pair.handler);
    return true;
}

void ConfigHandlerList::endCall(HlmPlg::IConfigHandler* handler) {
    running_.end(lock_, handler);
}

}  // namespace holm::services
