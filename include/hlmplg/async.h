// IAsync (id 17): calls a plugin back later, periodically, or when a named
// event is set, on a worker thread of the core's dispatcher.
//
// A plugin registers one IAsyncHandler and adds watches; each watch is an
// element returned as IAsyncEvent*, and the handler's onAsyncEvent receives
// that same pointer when the watch fires. Callbacks of one IAsync object
// never run at the same time. The pointer stays valid until the element is
// cancelled, the IAsync object is released, or (fireNow) its one delivery
// has ended.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/handlers.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// A registered watch, as the plugin and its handler see it.
class HLMPLG_API IAsyncEvent {
  public:
    virtual ~IAsyncEvent() = default;
    // The user value given at registration (pointer-sized).
    virtual uintptr_t getUserValue() = 0;
};

// Longest event name accepted by watchEvent, in UTF-16 units: with the
// "Global\" prefix and a terminator it fills 128 units.
inline constexpr uint32_t kMaxAsyncEventName = 120;

class HLMPLG_API IAsync : public IHandlerInterface {
  public:
    // registerHandler takes an IAsyncHandler, replacing an earlier one (any
    // other handler changes nothing); unregisterHandler clears the handler
    // whichever IAsyncHandler it is given. Both wait for a callback of this
    // object that runs on another thread; from inside a callback they take
    // effect at once.

    // Delivers once, at the next tick of the time worker (within 2 seconds).
    virtual IAsyncEvent* fireNow(uintptr_t user) = 0;
    // Delivers periodically: first once more than `seconds` have passed since
    // the registration, then once more than `seconds` have passed since the
    // end of the previous delivery (checked every 2 seconds, on the
    // monotonic clock). Negative seconds are refused (null).
    virtual IAsyncEvent* fireAfterNSec(int32_t seconds, uintptr_t user) = 0;
    // Delivers whenever the cross-process named event "Global\<name>" is set
    // (names compared with A-Z folded). Null for an empty name or one longer
    // than kMaxAsyncEventName units.
    virtual IAsyncEvent* watchEvent(const char16_t* name, uintptr_t user) = 0;
    // Delivers when an entry of the directory `path` (with `subtree`, of any
    // directory below it, including ones created later) is created, removed,
    // renamed or written. An element is also delivered for a change seen by
    // another element's watch with the same subtree flag whose directory is
    // a prefix of its path (compared with A-Z folded). Null when `path` is
    // not an existing directory. `native` changes nothing on this platform.
    virtual IAsyncEvent* watchDirectory(const char16_t* path, uint8_t subtree, uint8_t native,
                                        uintptr_t user) = 0;
    // Delivers when the file `path` is created, renamed into place or
    // written, and exists afterwards (a change of another file of its
    // directory never delivers it; every write does, however close
    // together). Null when nothing exists at `path`.
    virtual IAsyncEvent* watchFile(const char16_t* path, uint8_t native, uintptr_t user) = 0;
    // Delivers when a subkey of the key (with `subtree`, of any key below it)
    // is created or deleted, a value of it is set or deleted, or the key
    // itself is deleted. Null when the key does not open for reading.
    // `view` changes nothing on this platform.
    virtual IAsyncEvent* watchRegistryKey(uint32_t root, const char16_t* subkey, uint8_t subtree,
                                          uint8_t view, uintptr_t user) = 0;
    // Delivers when the value `valueName` of the key changes (type, size or
    // data, compared with the value read at registration or at the previous
    // delivery): once when it is deleted, once when it is created again.
    virtual IAsyncEvent* watchRegistryValue(uint32_t root, const char16_t* subkey,
                                            const char16_t* valueName, uint8_t view,
                                            uintptr_t user) = 0;
    // Removes the element. Called on a plugin thread, it returns once no
    // delivery of the element runs any more; called on a dispatcher thread
    // (from inside any callback) it never waits: a delivery in progress ends
    // first, and the element is destroyed after it. A pointer that is not a
    // live element (cancelled already, a fireNow after its delivery) is ignored.
    virtual void cancel(IAsyncEvent* event) = 0;
};

}  // namespace HlmPlg
