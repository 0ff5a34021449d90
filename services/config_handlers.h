// The configuration handlers registered with one store: (IConfig object,
// handler) pairs in registration order.
//
// A reload walks a snapshot and calls each pair with no lock held, so a
// handler may read configuration, register or unregister handlers (itself
// included) from inside its call: a pair removed during the walk is not
// called any more. Removing a pair returns only when no call of that
// handler runs on another thread, so the handler's owner may destroy it
// right after; a handler that removes itself from inside its own call
// returns at once.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "common/running_calls.h"
#include "hlmplg/handlers.h"

namespace holm::services {

struct ConfigHandlerPair {
    const void* object;  // the IConfig object it was registered through
    HlmPlg::IConfigHandler* handler;
    bool operator==(const ConfigHandlerPair&) const = default;
};

class ConfigHandlerList {
  public:
    // `lock` guards the list; the store shares it with its read records.
    explicit ConfigHandlerList(std::mutex& lock) : lock_(lock) {}

    // Raises std::length_error("list<T> too long") at the list's maximum.
    void add(ConfigHandlerPair pair);
    // Removes the first pair with `handler`; then waits for its calls on
    // other threads to end. False when there was none.
    bool remove(HlmPlg::IConfigHandler* handler);
    // Removes every pair registered through `object`, waiting likewise.
    void removeObject(const void* object);
    std::vector<ConfigHandlerPair> snapshot() const;
    size_t size() const;

    // Calls `call(pair)` if the pair is still registered, noted as a running
    // call; false when it was not registered any more.
    template <typename Call>
    bool callIfRegistered(const ConfigHandlerPair& pair, Call call);

  private:
    bool beginCall(const ConfigHandlerPair& pair);
    void endCall(HlmPlg::IConfigHandler* handler);
    void waitForCallsElsewhere(std::unique_lock<std::mutex>& guard,
                               const std::vector<HlmPlg::IConfigHandler*>& handlers);

    std::mutex& lock_;
    std::vector<ConfigHandlerPair> pairs_;
    RunningCalls<HlmPlg::IConfigHandler> running_;
};

template <typename Call>
bool ConfigHandlerList::callIfRegistered(const ConfigHandlerPair& pair, Call call) {
    if (!beginCall(pair)) {
        return false;
    }
    struct CallEnd {
        ConfigHandlerList& list;
        HlmPlg::IConfigHandler* handler;
        ~CallEnd() { list.endCall(handler); }
    } end{*this, pair.handler};
    call(pair);
    return true;
}

}  // namespace holm::services
