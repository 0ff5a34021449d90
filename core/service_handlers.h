// The list of registered service handlers, shared by the core (broadcasts of
// run, stop and control requests) and every IService object.
//
// Broadcasts walk a snapshot taken under the lock and call each handler with
// the lock released, so a handler may register or unregister handlers (also
// itself) from inside a call: a handler registered during a broadcast is
// called from the next broadcast on, and a handler unregistered during a
// broadcast is not called by it any more. remove() returns only when no call
// of that handler is running on another thread, so its owner may destroy it
// right after; it never waits for a call on its own thread (a handler that
// unregisters itself returns first).
//
// Remaining risk: two handlers that unregister each other from calls running
// on two threads at once wait for each other for good.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "common/running_calls.h"
#include "hlmplg/handlers.h"

namespace holm::core {

class ServiceHandlerList {
  public:
    // Appends a registration; a handler registered twice is called twice.
    // Raises std::length_error("list<T> too long") at the list's maximum.
    void add(HlmPlg::IServiceHandler* handler);
    // Removes every registration of `handler`, then waits until no call of
    // it runs on another thread.
    void remove(HlmPlg::IServiceHandler* handler);
    // Calls `call(handler)` for every handler registered when the broadcast
    // begins, in registration order, skipping those removed meanwhile. The
    // list is not locked during a call. `call` must not throw: callers pass
    // their call through the plugin boundary.
    template <typename Call>
    void forEach(Call call);
    // Calls `call(handler)` if `handler` is still registered, noted as a
    // running call like a broadcast's (the stop notifications run one
    // handler per thread). False when it was not registered any more.
    template <typename Call>
    bool callOne(HlmPlg::IServiceHandler* handler, Call call);
    // The handlers registered now.
    std::vector<HlmPlg::IServiceHandler*> snapshot() const;
    size_t size() const;
    // Number of remove() calls waiting for calls on other threads to end.
    size_t waitingRemovals() const;

  private:
    // Notes a call about to start; false when the handler is no longer
    // registered.
    bool beginCall(HlmPlg::IServiceHandler* handler);
    void endCall(HlmPlg::IServiceHandler* handler);
    bool registered(HlmPlg::IServiceHandler* handler) const;

    mutable std::mutex lock_;
    std::vector<HlmPlg::IServiceHandler*> handlers_;
    RunningCalls<HlmPlg::IServiceHandler> running_;
    size_t waitingRemovals_ = 0;
};

template <typename Call>
bool ServiceHandlerList::callOne(HlmPlg::IServiceHandler* handler, Call call) {
    if (!beginCall(handler)) {
        return false;
    }
    struct CallEnd {
        ServiceHandlerList& list;
        HlmPlg::IServiceHandler* handler;
        ~CallEnd() { list.endCall(handler); }
    } end{*this, handler};
    call(handler);
    return true;
}

template <typename Call>
void ServiceHandlerList::forEach(Call call) {
    for (HlmPlg::IServiceHandler* handler : snapshot()) {
        callOne(handler, call);
    }
}

}  // namespace holm::core
