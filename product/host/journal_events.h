// Structured journal entries for the plugins' lifecycle events. When the
// host's standard error is the journal, each event the core reports
// (common/host_control.h: a plugin started, failed to start, stopped, had a
// fault contained, was refused or failed to load) goes to the journal as an
// entry of its own in the journal's native protocol, with MESSAGE_ID,
// PLUGIN, PLUGIN_FILE, PLUGIN_GENERATION and CODE fields, so that
// `journalctl MESSAGE_ID=...` or `journalctl PLUGIN=demo` finds it and
// `journalctl -x` explains it from the catalog (avholm.catalog). An entry the
// journal socket does not take goes to the stream instead, as a line with
// its priority prefix: each entry is written once, natively or on the
// stream. Without the journal nothing is written here: the core's own lines
// on standard error tell the same.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/host_control.h"
#include "hlmplg/core.h"

namespace holm::product::host {

using JournalFields = std::vector<std::pair<std::string, std::string>>;

// One entry of the native protocol: "NAME=value\n" per field, or, for a value
// holding a newline, "NAME\n", its length as 64-bit little-endian and the
// value, then "\n".
std::string nativeJournalEntry(const JournalFields& fields);

// The message id of an event (32 hexadecimal digits; empty for an unknown
// event).
std::string_view lifecycleMessageId(uint32_t event);

class JournalEvents final : public common::hostctl::IHostEvents {
  public:
    // Registers with the core when standard error is the journal. The object
    // must outlive the core: the core reports to it until it is destroyed.
    void attach(HlmPlg::IHlmCore& core);

    void pluginEvent(const common::hostctl::PluginEventInfo& event) override;
};

}  // namespace holm::product::host
