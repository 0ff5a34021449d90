// CAsyncImplObjects: the dispatcher that every IAsync object of every plugin
// shares. Created once by the core at initialisation; it owns five workers,
// one per watch family: time (0), event (1), directory (2), native directory
// (3) and registry (4).
//
// The native directory slot stays empty: kinds 4 and 6 (the native view of
// a 64-bit system) are never created on this platform, so native-flag
// watches go to the directory worker. Registration, cancellation, delivery,
// the session hooks and stopAll treat every slot alike.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "async/clock.h"
#include "async/directory_worker.h"
#include "async/element.h"
#include "async/element_lifetimes.h"
#include "async/plugin_gate.h"
#include "async/registry_worker.h"
#include "async/worker.h"
#include "platform/result.h"

namespace holm::async {

// Why a registration was refused. A request that names nothing to watch (a
// negative period, a bad name, a missing directory, a key that does not
// open) is refused without a cause; a watch the system refused (its limits,
// a file in the way) carries the error, which the IAsync object hands the
// plugin as the thread's last error.
struct RegistrationRefusal {
    std::optional<platform::Error> cause;
};
using Registration = platform::Result<HlmPlg::IAsyncEvent*, RegistrationRefusal>;

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
    // `runtimeDirectory` holds the named events' FIFOs; registry watches
    // use the store at `registryDirectory` (empty: the store's default).
    CAsyncImplObjects(PluginCallGate& gate, std::unique_ptr<AsyncClock> clock,
                      std::string runtimeDirectory, std::filesystem::path registryDirectory = {});
    ~CAsyncImplObjects();
    CAsyncImplObjects(const CAsyncImplObjects&) = delete;
    CAsyncImplObjects& operator=(const CAsyncImplObjects&) = delete;

    // Registrations: the new element, or why it was refused.
    Registration addNow(const std::shared_ptr<AsyncOwner>& owner, uintptr_t user);
    Registration addAfterNSec(const std::shared_ptr<AsyncOwner>& owner, int32_t seconds,
                              uintptr_t user);
    Registration addEvent(const std::shared_ptr<AsyncOwner>& owner, const char16_t* name,
                          uintptr_t user);
    // A directory that exists (with or without its subtree), a file that
    // exists; `native` changes nothing here (there is one view).
    Registration addDirectory(const std::shared_ptr<AsyncOwner>& owner, const char16_t* path,
                              bool subtree, uintptr_t user);
    Registration addFile(const std::shared_ptr<AsyncOwner>& owner, const char16_t* path,
                         uintptr_t user);
    // A registry key that opens for reading (trailing backslashes of the
    // subkey removed); `view` changes nothing here.
    Registration addRegistryKey(const std::shared_ptr<AsyncOwner>& owner, uint32_t root,
                                const char16_t* subkey, bool subtree, uintptr_t user);
    // One value of such a key (null or empty name: the default value); the
    // value is read at registration, and later deliveries report changes
    // from it.
    Registration addRegistryValue(const std::shared_ptr<AsyncOwner>& owner, uint32_t root,
                                  const char16_t* subkey, const char16_t* valueName,
                                  uintptr_t user);

    // Removes one element (see IAsync::cancel for when it waits). Only a
    // live element that `canceller` may cancel (AsyncOwner::canceller) is
    // removed; any other pointer is ignored.
    void cancel(HlmPlg::IAsyncEvent* event, const void* canceller);
    // Removes every element of `owner` from every worker; waits for their
    // deliveries in progress unless called on a dispatcher thread.
    void cancelAll(const AsyncOwner* owner);

    // The Stop phase: every worker's thread ends; nothing is delivered any
    // more, and later registrations are accepted but never delivered.
    void stopAll();
    // The start of a run of the core (again, for a shared core): workers
    // stopped by stopAll are idle again and deliver as in the first run.
    void resumeAll();
    // A service-control request, before any service handler sees it:
    // session logon and logoff reach every worker.
    void onServiceControl(uint32_t control, uint32_t eventType, void* eventData);

    // State for tests and diagnostics.
    bool workerThreadRunning(WorkerIndex index);
    size_t elementCount(WorkerIndex index);
    ElementLifetimes& lifetimes() { return lifetimes_; }
    CAsyncImplObjectDirectory& directoryWorker() { return *directory_; }
    CAsyncImplObjectRegistry& registryWorker() { return *registry_; }

  private:
    Registration registerOn(WorkerIndex index, std::unique_ptr<CHlmPlgAsyncElem> element);
    CAsyncImplObject* workerFor(ElementKind kind);

    ElementLifetimes lifetimes_;
    std::unique_ptr<AsyncClock> clock_;
    std::array<std::unique_ptr<CAsyncImplObject>, kWorkerCount> workers_;
    CAsyncImplObjectDirectory* directory_ = nullptr;
    CAsyncImplObjectRegistry* registry_ = nullptr;
};

}  // namespace holm::async
