#include "core/control_object.h"

#include <exception>

namespace holm::core {

// Nothing may leave through the host's calls: a failure gives an empty
// snapshot or a request that did nothing.
uint32_t CHostControl::snapshot() {
    try {
        records_ = target_.pluginRecords();
    } catch (const std::exception&) {
        records_.clear();
    }
    return static_cast<uint32_t>(records_.size());
}

bool CHostControl::plugin(uint32_t index, common::hostctl::PluginStatus* status) {
    if (status == nullptr || index >= records_.size()) {
        return false;
    }
    const PluginRecord& record = records_[index];
    status->name = record.name.c_str();
    status->file = record.file.c_str();
    status->version = record.version;
    status->generation = record.generation;
    status->state = static_cast<uint32_t>(record.state);
    status->changedAtMs = record.changedAtMs;
    status->loadFailed = record.loadFailed ? 1 : 0;
    status->loadCode = record.loadCode;
    status->startFailed = record.startFailed ? 1 : 0;
    status->startCode = record.startCode;
    status->faults = record.faults;
    status->lastError = record.lastError;
    return true;
}

uint32_t CHostControl::reload() {
    try {
        return target_.controlReload();
    } catch (const std::exception&) {
        return 1;
    }
}

uint32_t CHostControl::test(const char16_t* plugin, const char16_t* argument,
                            common::hostctl::ITestResults* results) {
    if (plugin == nullptr || *plugin == u'\0') {
        return 0;
    }
    try {
        return target_.controlTest(plugin, argument != nullptr ? argument : u"",
                                   [results](const std::u16string& name, bool passed) {
                                       if (results != nullptr) {
                                           results->result(name.c_str(), passed);
                                       }
                                   });
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace holm::core
