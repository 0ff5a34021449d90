// The object the core hands its host for kHostControlId
// (common/host_control.h): a snapshot of the status board and the host's
// requests, passed on to the core.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/host_control.h"
#include "core/plugin_status.h"

namespace holm::core {

// What the control object needs of its core.
class ControlTarget {
  public:
    virtual std::vector<PluginRecord> pluginRecords() const = 0;
    // 0 when the reload ran, 1 when the plugins do not run.
    virtual uint32_t controlReload() = 0;
    virtual uint32_t controlTest(
        const std::u16string& target, const std::u16string& argument,
        const std::function<void(const std::u16string&, bool)>& report) = 0;
    virtual void setEventSink(common::hostctl::IHostEvents* sink) = 0;

  protected:
    ~ControlTarget() = default;
};

class CHostControl final : public common::hostctl::IHostControl {
  public:
    explicit CHostControl(ControlTarget& target) : target_(target) {}

    uint32_t snapshot() override;
    bool plugin(uint32_t index, common::hostctl::PluginStatus* status) override;
    uint32_t reload() override;
    uint32_t test(const char16_t* plugin, const char16_t* argument,
                  common::hostctl::ITestResults* results) override;
    void setEventSink(common::hostctl::IHostEvents* sink) override { target_.setEventSink(sink); }

  private:
    ControlTarget& target_;
    std::vector<PluginRecord> records_;
};

}  // namespace holm::core
