// CAsyncImplObjects: the dispatcher that every IAsync object of every plugin
// shares. Created once by the core at initialisation; it owns five workers,
// one per watch family: time (0), event (1), directory (2), native directory
// (3) and registry (4).
//
// The time and event workers are built; the directory, native directory
// and registry slots are empty until their workers exist (their
// registrations return null meanwhile). A worker for them derives from
// CAsyncImplObject (worker.h) and fills its slot; registration, cancellation,
// delivery, the session hooks and stopAll already treat every slot alike.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "async/clock.h"
#include "async/element.h"
#include "async/element_lifetimes.h"
#include "async/plugin_gate.h"
#include "async/worker.h"

namespace holm::async {

enum class WorkerIndex : size_t {
    Time = 0,
    Event = 1,
    Directory = 2,
    DirectoryNative = 3,
    Registry = 4
};

class CAsyncImplObjects {
  public:
    static constexpr size_t kWorkerCount = 5;
    static constexpr uint32_t kSessionChange = 14;
    static constexpr uint32_t kSessionLogon = 5;
    static constexpr uint32_t kSessionLogoff = 6;

    // `gate` runs every callback; `clock` drives the time worker (the
    // system's monotonic clock with a 2-second tick when null);
    // `runtimeDirectory` holds the named events' FIFOs.
    CAsyncImplObjects(PluginCallGate& gate, std::unique_ptr<AsyncClock> clock,
                      std::string runtimeDirectory);
    ~CAsyncImplObjects();
    CAsyncImplObjects(const CAsyncImplObjects&) = delete;
    CAsyncImplObjects& operator=(const CAsyncImplObjects&) = delete;

    // Registrations: the new element, or null when a precondition fails.
    HlmPlg::IAsyncEvent* addNow(const std::shared_ptr<AsyncOwner>& owner, uintptr_t user);
    HlmPlg::IAsyncEvent* addAfterNSec(const std::shared_ptr<AsyncOwner>& owner, int32_t seconds,
                                      uintptr_t user);
    HlmPlg::IAsyncEvent* addEvent(const std::shared_ptr<AsyncOwner>& owner, const char16_t* name,
                                  uintptr_t user);

    // Removes one element (see IAsync::cancel for when it waits); a pointer
    // that is not a live element is ignored.
    void cancel(HlmPlg::IAsyncEvent* event);
    // Removes every element of `owner` from every worker; waits for their
    // deliveries in progress unless called on a dispatcher thread.
    void cancelAll(const AsyncOwner* owner);

    // The Stop phase: every worker's thread ends; nothing is delivered any
    // more, and later registrations are accepted but never delivered.
    void stopAll();
    // A service-control request, before any service handler sees it:
    // session logon and logoff reach every worker.
    void onServiceControl(uint32_t control, uint32_t eventType, void* eventData);

    // State for tests and diagnostics.
    bool workerThreadRunning(WorkerIndex index);
    size_t elementCount(WorkerIndex index);
    ElementLifetimes& lifetimes() { return lifetimes_; }

  private:
    HlmPlg::IAsyncEvent* registerOn(WorkerIndex index, std::unique_ptr<CHlmPlgAsyncElem> element);
    CAsyncImplObject* workerFor(ElementKind kind);

    ElementLifetimes lifetimes_;
    std::unique_ptr<AsyncClock> clock_;
    std::array<std::unique_ptr<CAsyncImplObject>, kWorkerCount> workers_;
};

}  // namespace holm::async
