// Shared ownership of one system handle (a file descriptor: an event, a
// process descriptor, ...), and unnamed local events held that way.
#pragma once

#include <memory>

#include "platform/unique_handle.h"

namespace Tandro::Utilities {

// Every copy refers to the same handle; the handle is closed when the last
// copy goes. Copies may live on different threads; one copy is not itself
// safe to assign from several threads at once (like std::shared_ptr).
class SharedHandle {
  public:
    SharedHandle() = default;
    // Takes ownership of `handle` (an invalid handle gives an empty object).
    explicit SharedHandle(holm::platform::UniqueFd handle);

    // The handle, or -1 when empty. Owned by this object: never close it.
    int get() const noexcept { return owner_ ? owner_->get() : -1; }
    explicit operator bool() const noexcept { return get() != -1; }

    // Drops this owner's share; the handle closes if it was the last.
    void reset() noexcept { owner_.reset(); }

  private:
    std::shared_ptr<const holm::platform::UniqueFd> owner_;
};

namespace EventAccessControl {

// An unnamed event local to the process, manual-reset (once set it stays set
// until nothing refers to it any more), set from the start only when
// `initialState` is true. The event is always manual-reset: `manualReset` is
// accepted for the callers' sake only. Empty on failure.
SharedHandle CreateLocalEvent(bool manualReset, bool initialState);

// Sets the event. True on success; false for an empty handle or a failure.
bool SetEvent(const SharedHandle& event);

// Whether the event is set, without waiting.
bool IsEventSet(const SharedHandle& event);

}  // namespace EventAccessControl

}  // namespace Tandro::Utilities
