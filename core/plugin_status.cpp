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
    common::MutexLock hold(listenerLock_);
    listener_ = std::move(listener);
}

void PluginStatusBoard::tell(const PluginRecord& record, common::hostctl::PluginEvent event,
                             uint32_t code) {
    common::MutexLock hold(listenerLock_);
    if (listener_) {
        listener_(record, event, code);
    }
}

void PluginStatusBoard::added(uint32_t generation, const std::u16string& name,
                              const std::u16string& file, uint32_t version) {
    common::MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    record = PluginRecord{name, file, generation, version};
    record.changedAtMs = statusClockMs();
}

void PluginStatusBoard::loadFailed(uint32_t generation, const std::u16string& name,
                                   const std::u16string& file, uint32_t code) {
    common::MutexLock hold(lock_);
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
    tell(copy,
         file.empty() ? common::hostctl::PluginEvent::LoadFailed
                      : common::hostctl::PluginEvent::Refused,
         code);
}

void PluginStatusBoard::changed(uint32_t generation, const std::u16string& name,
                                common::hostctl::PluginState state) {
    common::MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    const bool changed = record.state != state;
    if (changed) {
        record.state = state;
        record.changedAtMs = statusClockMs();
    }
    if (state == common::hostctl::PluginState::Started) {
        record.startFailed = false;
        record.startCode = 0;
    }
    const PluginRecord copy = record;
    hold.unlock();
    if (changed && state == common::hostctl::PluginState::Started) {
        tell(copy, common::hostctl::PluginEvent::Started, 0);
    } else if (changed && state == common::hostctl::PluginState::Stopped) {
        tell(copy, common::hostctl::PluginEvent::Stopped, 0);
    }
}

void PluginStatusBoard::startFailed(uint32_t generation, const std::u16string& name,
                                    uint32_t code) {
    common::MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    record.startFailed = true;
    record.startCode = code;
    const PluginRecord copy = record;
    hold.unlock();
    tell(copy, common::hostctl::PluginEvent::StartFailed, code);
}

void PluginStatusBoard::lastError(uint32_t generation, const std::u16string& name, uint32_t code) {
    common::MutexLock hold(lock_);
    recordOf(generation, name).lastError = code;
}

void PluginStatusBoard::faults(uint32_t generation, const std::u16string& name, uint32_t count) {
    common::MutexLock hold(lock_);
    PluginRecord& record = recordOf(generation, name);
    const bool more = count > record.faults;
    record.faults = count;
    const PluginRecord copy = record;
    hold.unlock();
    if (more) {
        tell(copy, common::hostctl::PluginEvent::FaultContained, count);
    }
}

std::vector<PluginRecord> PluginStatusBoard::snapshot() const {
    common::MutexLock hold(lock_);
    return records_;
}

}  // namespace holm::core
