// The elements of the dispatcher: one per registered watch, handed to the
// plugin as IAsyncEvent*, and the owner they are delivered to.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "async/plugin_gate.h"
#include "hlmplg/async.h"
#include "platform/critical_section.h"
#include "registry/registry.h"

namespace holm::async {

// Kinds, and the worker that serves each. Kinds 4 and 6 (the native view of
// a 64-bit system on a 32-bit process) are never created on this platform:
// there is no such view, so native-flag watches are kinds 3 and 5.
enum class ElementKind : int32_t {
    Now = 0,
    Event = 1,
    AfterNSec = 2,
    Directory = 3,
    DirectoryNative = 4,
    File = 5,
    FileNative = 6,
    RegistryKey = 7,
    RegistryValue = 8,
};

// Where an element is delivered: the handler of one IAsync object, called
// under that object's delivery lock so its callbacks never overlap.
//
// Kept apart from the IAsync object and shared by its elements, so that an
// IAsync released from inside its own callback does not free the lock the
// running delivery holds.
class IAsyncObject {
  public:
    virtual ~IAsyncObject() = default;
    // Calls the handler with `event`; false when there is none (the delivery
    // is dropped) or the call failed.
    virtual bool deliver(HlmPlg::IAsyncEvent* event) = 0;
};

class AsyncOwner final : public IAsyncObject {
  public:
    explicit AsyncOwner(PluginCallGate& gate) : gate_(gate) {}

    // Who may cancel the owner's elements: the plugin that holds its IAsync
    // object (through any of its IAsync objects), or the owner alone for an
    // object no plugin holds.
    const void* canceller() const { return canceller_.load(); }
    void setCanceller(const void* canceller) { canceller_.store(canceller); }

    bool deliver(HlmPlg::IAsyncEvent* event) override;
    // Sets or clears the handler; waits for a callback running on another
    // thread, takes effect at once from inside a callback.
    void setHandler(HlmPlg::IAsyncHandler* handler);

  private:
    PluginCallGate& gate_;
    // The one core lock held across a call into plugin code: it is taken
    // outside the gate, so a callback that faults returns through the gate
    // and the lock is released as usual.
    platform::CriticalSection deliveryLock_;
    HlmPlg::IAsyncHandler* handler_ = nullptr;
    std::atomic<const void*> canceller_{this};
};

class CHlmPlgAsyncElem : public HlmPlg::IAsyncEvent {
  public:
    CHlmPlgAsyncElem(ElementKind kind, std::shared_ptr<AsyncOwner> owner, uintptr_t user)
        : kind(kind), user(user), owner(std::move(owner)) {}

    uintptr_t getUserValue() override { return user; }

    const ElementKind kind;
    const uintptr_t user;
    // Seconds on the time worker's clock: the registration, then the end of
    // the last periodic delivery. Written by the time worker only.
    int64_t time = 0;
    const std::shared_ptr<AsyncOwner> owner;

    // Guarded by the dispatcher's ElementLifetimes.
    uint64_t serial = 0;
    int64_t inUse = 0;    // deliveries in progress and cancels that hold it
    bool doomed = false;  // destroy once the last delivery ends
};

class CHlmPlgAsyncElemAfterNSec final : public CHlmPlgAsyncElem {
  public:
    CHlmPlgAsyncElemAfterNSec(std::shared_ptr<AsyncOwner> owner, int32_t seconds, uintptr_t user)
        : CHlmPlgAsyncElem(ElementKind::AfterNSec, std::move(owner), user), seconds(seconds) {}
    const int32_t seconds;
};

class CHlmPlgAsyncElemEvent final : public CHlmPlgAsyncElem {
  public:
    CHlmPlgAsyncElemEvent(std::shared_ptr<AsyncOwner> owner, std::u16string name,
                          std::string fileName, uintptr_t user)
        : CHlmPlgAsyncElem(ElementKind::Event, std::move(owner), user),
          name(std::move(name)),
          fileName(std::move(fileName)) {}
    const std::u16string name;
    // The canonical FIFO name: names equal with A-Z folded share it.
    const std::string fileName;
};

// Kinds 3 and 5: a directory (with or without its subtree) or one file.
class CHlmPlgAsyncElemDirectoryOrFile final : public CHlmPlgAsyncElem {
  public:
    CHlmPlgAsyncElemDirectoryOrFile(ElementKind kind, std::shared_ptr<AsyncOwner> owner,
                                    std::string path, bool subtree, uintptr_t user)
        : CHlmPlgAsyncElem(kind, std::move(owner), user), path(std::move(path)), subtree(subtree) {}
    bool isFile() const { return kind == ElementKind::File; }
    // UTF-8, runs of '/' collapsed, no trailing '/' (but "/" itself).
    const std::string path;
    const bool subtree;  // directories only; false for files
};

// Kinds 7 and 8: a registry key (with or without its subtree) or one value.
class CHlmPlgAsyncElemRegistry final : public CHlmPlgAsyncElem {
  public:
    CHlmPlgAsyncElemRegistry(ElementKind kind, std::shared_ptr<AsyncOwner> owner, uint32_t root,
                             std::u16string subkey, std::u16string valueName, bool subtree,
                             uintptr_t user)
        : CHlmPlgAsyncElem(kind, std::move(owner), user),
          root(root),
          subkey(std::move(subkey)),
          valueName(std::move(valueName)),
          subtree(subtree) {}
    bool isValue() const { return kind == ElementKind::RegistryValue; }
    const uint32_t root;
    const std::u16string subkey;  // trailing backslashes removed
    const std::u16string valueName;
    const bool subtree;  // key watches only
    // The value as last read (type 0 and no data when it could not be
    // read). Written at registration and then by the registry worker only.
    registry::Value stored;
};

}  // namespace holm::async
