// The shared core: several hosts in one process attach to one core under a
// common name. Each host gets a proxy (`CHlmCoreSharedHlp`); the real core
// runs once and is stopped when the last proxy that ran it stops; its
// reports reach every attached host.
//
// Locks: the registry lock guards the entries and is held across every
// proxy call, attach (initialisation included) and detach, so the calls of
// several hosts on one core are serialised. The reports of a core go out
// under the entry's own host-list lock, not the registry lock: a core
// reports from plugin and stop-notification threads while the host's thread
// holds the registry lock in `run` or `stop` and waits for those threads.
// Lock order: registry lock, then host-list lock. A host handler must not
// call back into a proxy from inside a callback.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "hlmplg/core.h"

namespace holm::core {

class CHolmCore;

// The handlers of the hosts attached to one shared core, in attach order (a
// host may attach without one), and the calls that fan out to all of them.
class SharedHostHandlers {
  public:
    // Appends a host's handler; null is not kept. Raises
    // std::length_error("list<T> too long") at the list's maximum.
    void add(HlmPlg::IHlmCoreHandler* handler);
    // Removes one registration of `handler` (a host attached twice with the
    // same handler keeps the other).
    void remove(HlmPlg::IHlmCoreHandler* handler);

    void log(uint32_t level, const char16_t* source, const char16_t* text);
    void setServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs);
    void setExitCode(uint32_t code);
    void requestStop();
    // Asks every host; the answers do not hold the shared core back: true.
    bool canStart();

  private:
    template <typename Call>
    void forEach(Call call);

    // Recursive: a host handler may report again from inside a report (a
    // stop request made while logging).
    common::RecursiveMutex lock_;
    std::vector<HlmPlg::IHlmCoreHandler*> handlers_ GUARDED_BY(lock_);
};

// The host handler a shared core is given: every report goes to every
// attached host. There is no service status handle, so a shared core never
// registers device notifications nor trims the working set.
class CHolmCoreSharedHandler : public HlmPlg::IHlmCoreHandler {
  public:
    explicit CHolmCoreSharedHandler(SharedHostHandlers& hosts) : hosts_(hosts) {}

    void log(uint32_t level, const char16_t* source, const char16_t* text) override;
    void setServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs) override;
    void setExitCode(uint32_t code) override;
    void requestStop() override;
    bool canStart() override;

  private:
    SharedHostHandlers& hosts_;
};

// One shared core. The host list outlives the core's handler, which
// outlives the core (members are destroyed in reverse order).
struct SharedEntry {
    std::u16string name;  // compared case-sensitively
    SharedHostHandlers hosts;
    std::unique_ptr<CHolmCoreSharedHandler> coreHandler;
    std::unique_ptr<CHolmCore> core;
    uint32_t attachCount = 0;  // proxies alive
    uint32_t runResult = 0;    // the result of the one real run
    uint32_t runCount = 0;     // runs of proxies not yet stopped

    explicit SharedEntry(std::u16string entryName);
    ~SharedEntry();
};

class CHolmCoreShared;

// The core a host of a shared core holds. Calls that reach the core are
// made under the registry lock; without an entry they answer 0, false or
// null.
class CHlmCoreSharedHlp : public HlmPlg::IHlmCore {
  public:
    CHlmCoreSharedHlp(CHolmCoreShared& registry, HlmPlg::IHlmCoreHandler* handler)
        : registry_(registry), handler_(handler) {}
    // Detaches from the shared core; the last proxy destroys it. Runs of
    // this proxy not yet stopped are counted down (the core stops when they
    // were the last).
    ~CHlmCoreSharedHlp() override;
    CHlmCoreSharedHlp(const CHlmCoreSharedHlp&) = delete;
    CHlmCoreSharedHlp& operator=(const CHlmCoreSharedHlp&) = delete;

    uint32_t getVersion() override;
    HlmPlg::IInterface* createInterface(int32_t id) override;
    void releaseInterface(int32_t id, HlmPlg::IInterface* object) override;
    // A shared core takes no command line of its own.
    bool handleCmdLine() override { return false; }
    // Runs the core (quick: no running notification, no test step) if no
    // proxy runs it; the result of that one run in every case.
    uint32_t run(bool quick) override;
    // Ends this proxy's run; the last one stops the core and returns its
    // result, the others 0. A proxy that has not run changes nothing.
    uint32_t stop() override;
    const char16_t* getListAttribute(const char16_t*, const char16_t*) override { return nullptr; }
    void setCommandLine(int32_t, const char16_t* const*) override {}
    void registerServiceHandler(HlmPlg::IServiceHandler*) override {}
    void serviceControl(uint32_t, uint32_t, void*) override {}
    void reloadConfig() override {}

  private:
    friend class CHolmCoreShared;

    CHolmCoreShared& registry_;
    HlmPlg::IHlmCoreHandler* handler_;
    CHolmCore* core_ = nullptr;  // set by a successful attach
    uint32_t runs_ = 0;          // runs of this proxy not yet stopped
};

// The process-wide registry of shared cores.
class CHolmCoreShared {
  public:
    static CHolmCoreShared& instance();

    CHolmCoreShared() = default;
    ~CHolmCoreShared();
    CHolmCoreShared(const CHolmCoreShared&) = delete;
    CHolmCoreShared& operator=(const CHolmCoreShared&) = delete;

    // A proxy on the shared core `name`: the existing one (`pluginList` is
    // then not used), or a new core initialised with `pluginList`. Null when
    // that initialisation fails; no entry is left, so a later attach tries
    // again. Raises std::length_error("list<T> too long") when the registry
    // or the entry's host list is full.
    std::unique_ptr<CHlmCoreSharedHlp> attach(std::u16string_view name, const char16_t* pluginList,
                                              HlmPlg::IHlmCoreHandler* handler);

    // Calls `call(entry)` for the entry of `core` under the registry lock;
    // `fallback` without such an entry.
    template <typename Call, typename Result>
    Result withEntry(const CHolmCore* core, Call call, Result fallback) {
        common::RecursiveLock guard(lock_);
        SharedEntry* entry = findByCore(core);
        return entry != nullptr ? call(*entry) : fallback;
    }

  private:
    friend class CHlmCoreSharedHlp;
    using Entries = std::vector<std::unique_ptr<SharedEntry>>;

    Entries::iterator positionOf(const CHolmCore* core) REQUIRES(lock_);
    SharedEntry* findByCore(const CHolmCore* core) REQUIRES(lock_);
    SharedEntry* findByName(std::u16string_view name) REQUIRES(lock_);
    SharedEntry* create(std::u16string_view name, const char16_t* pluginList,
                        HlmPlg::IHlmCoreHandler* handler) REQUIRES(lock_);
    void detach(const CHlmCoreSharedHlp& proxy);

    common::RecursiveMutex lock_;
    Entries entries_ GUARDED_BY(lock_);
};

}  // namespace holm::core
