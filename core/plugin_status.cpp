#include "core/plugin_status.h"

#include <chrono>

namespace holm::core {

namespace {

int64_t statusClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

PluginRecord& PluginStatusBoard::recordOf(uint32_t generation, const std::u16string& name) {
    for (PluginRecord& record : records_) {
        if (record.generation == generation && record.name == name) {
            return record;
        }
    }
    PluginRecord& record = records_.emplace_back();
    record.generation = generation;
    record.name = name;
    record.changedAtMs = statusClockMs();
    return record;
}

void PluginStatusBoard::setListener(Listener listener) {
    MutexLock hold(listenerLock_);
    listener_ = std::move(listener);
}

void PluginStatusBoard::tell(const PluginRecord& record, hostctl::PluginEvent event,
                             uint32_t code) {
    MutexLock hold(listenerLock_);
    if (listener_) {
        listener_(record, event, code);
    }
}

void PluginStatusBoard::added(uint32_t generation, const std::u16string& name,
                              const std::u16string& file, uint32_t version) {
    MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    record = PluginRecord{name, file, generation, version};
    record.changedAtMs = statusClockMs();
}

void PluginStatusBoard::loadFailed(uint32_t generation, const std::u16string& name,
                                   const std::u16string& file, uint32_t code) {
    MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    // Without a file the library was loaded and its plugin failed: what is
    // known of it stays.
    const std::u16string keptFile = file.empty() ? record.file : file;
    const uint32_t keptVersion = file.empty() ? record.version : 0;
    record = PluginRecord{name, keptFile, generation, keptVersion};
    record.loadFailed = true;
    record.loadCode = code;
    record.changedAtMs = statusClockMs();
    const PluginRecord copy = record;
    hold.unlock();
    tell(copy, file.empty() ? hostctl::PluginEvent::LoadFailed : hostctl::PluginEvent::Refused,
         code);
}

void PluginStatusBoard::changed(uint32_t generation, const std::u16string& name,
                                hostctl::PluginState state) {
    MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    const bool changed = record.state != state;
    if (changed) {
        record.state = state;
        record.changedAtMs = statusClockMs();
    }
    if (state == hostctl::PluginState::Started) {
        record.startFailed = false;
        record.startCode = 0;
    }
    const PluginRecord copy = record;
    hold.unlock();
    if (changed && state == hostctl::PluginState::Started) {
        tell(copy, hostctl::PluginEvent::Started, 0);
    } else if (changed && state == hostctl::PluginState::Stopped) {
        tell(copy, hostctl::PluginEvent::Stopped, 0);
    }
}

void PluginStatusBoard::startFailed(uint32_t generation, const std::u16string& name,
                                    uint32_t code) {
    MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    record.startFailed = true;
    record.startCode = code;
    const PluginRecord copy = record;
    hold.unlock();
    tell(copy, hostctl::PluginEvent::StartFailed, code);
}

void PluginStatusBoard::lastError(uint32_t generation, const std::u16string& name, uint32_t code) {
    MutexLock hold(lock_);
    recordOf(generation, name).lastError = code;
}

void PluginStatusBoard::faults(uint32_t generation, const std::u16string& name, uint32_t count) {
    MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    const bool more = count > record.faults;
    record.faults = count;
    const PluginRecord copy = record;
    hold.unlock();
    if (more) {
        tell(copy, hostctl::PluginEvent::FaultContained, count);
    }
}

std::vector<PluginRecord> PluginStatusBoard::snapshot() const {
    MutexLock hold(lock_);
    return records_;
}

}  // namespace holm::core
