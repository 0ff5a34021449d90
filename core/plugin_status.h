// The operator's view of the plugins of both generations: one record per
// plugin with its state, when that last changed, and what went wrong with
// it. The lifecycle of each generation writes it as it goes; the host reads
// snapshots of it from its own thread (common/host_control.h), so every
// access takes the board's lock and nothing refers into it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/host_control.h"
#include "common/mutex.h"

namespace holm::core {

struct PluginRecord {
    std::u16string name;
    std::u16string file;
    uint32_t generation = 1;
    uint32_t version = 0;
    common::hostctl::PluginState state = common::hostctl::PluginState::Unloaded;
    int64_t changedAtMs = 0;
    bool loadFailed = false;
    uint32_t loadCode = 0;
    bool startFailed = false;
    uint32_t startCode = 0;
    uint32_t faults = 0;
    uint32_t lastError = 0;
};

class PluginStatusBoard {
  public:
    using Listener =
        std::function<void(const PluginRecord&, common::hostctl::PluginEvent, uint32_t code)>;

    // Hears every lifecycle event from now on, outside the board's lock;
    // an empty listener ends that. Setting waits for a call in progress.
    void setListener(Listener listener) EXCLUDES(listenerLock_);

    // A plugin whose library was loaded: its record starts afresh as
    // unloaded (a list loaded again replaces the old record of the name).
    void added(uint32_t generation, const std::u16string& name, const std::u16string& file,
               uint32_t version) EXCLUDES(lock_);
    // A plugin that could not be loaded, with the load's code; an empty
    // `file` keeps the file and version already known.
    void loadFailed(uint32_t generation, const std::u16string& name, const std::u16string& file,
                    uint32_t code) EXCLUDES(lock_, listenerLock_);
    void changed(uint32_t generation, const std::u16string& name,
                 common::hostctl::PluginState state) EXCLUDES(lock_, listenerLock_);
    void startFailed(uint32_t generation, const std::u16string& name, uint32_t code)
        EXCLUDES(lock_, listenerLock_);
    void lastError(uint32_t generation, const std::u16string& name, uint32_t code) EXCLUDES(lock_);
    void faults(uint32_t generation, const std::u16string& name, uint32_t count)
        EXCLUDES(lock_, listenerLock_);

    std::vector<PluginRecord> snapshot() const EXCLUDES(lock_);

  private:
    // The record of the name, made at the end when there is none; the lock
    // is held.
    PluginRecord& recordOf(uint32_t generation, const std::u16string& name) REQUIRES(lock_);
    void tell(const PluginRecord& record, common::hostctl::PluginEvent event, uint32_t code)
        EXCLUDES(lock_, listenerLock_);

    mutable common::Mutex lock_;
    std::vector<PluginRecord> records_ GUARDED_BY(lock_);
    // Held while the listener is called or changed; never with lock_.
    common::Mutex listenerLock_;
    Listener listener_ GUARDED_BY(listenerLock_);
};

}  // namespace holm::core
