#include "product/host/journal_events.h"

#include <cstdint>

#include "common/utf16.h"
#include "platform/journal.h"
#include "platform/local_socket.h"
#include "product/host/host_handler.h"

namespace holm::product::host {

namespace {

using common::hostctl::PluginEvent;

struct EventText {
    PluginEvent event;
    std::string_view messageId;
    Priority priority;
    std::string_view verb;  // "plugin NAME <verb>"
};

// The ids are the catalog's (avholm.catalog); they never change.
constexpr EventText kEvents[] = {
    {PluginEvent::Started, "c0f47cd323d549cda94c671cbe9a6896", Priority::Info, "started"},
    {PluginEvent::StartFailed, "a0c33f2d50ad495db9afc0ca1eeaeaed", Priority::Error,
     "failed to start"},
    {PluginEvent::Stopped, "8a423f7452e8406d9d60c6c4c4016132", Priority::Info, "stopped"},
    {PluginEvent::FaultContained, "3708d26a398d4aea9cb712a27343d686", Priority::Error,
     "had a fault contained"},
    {PluginEvent::Refused, "f98902ba1a9b4b8a81085dded50c7e1f", Priority::Error, "was refused"},
    {PluginEvent::LoadFailed, "d91fcffbd75647b0bef67495f95ca41d", Priority::Error,
     "failed to load"},
};

const EventText* eventText(uint32_t event) {
    for (const EventText& text : kEvents) {
        if (static_cast<uint32_t>(text.event) == event) {
            return &text;
        }
    }
    return nullptr;
}

std::string utf8(const char16_t* text) {
    return text != nullptr ? holm::common::utf16ToUtf8(text) : std::string();
}

}  // namespace

std::string nativeJournalEntry(const JournalFields& fields) {
    std::string entry;
    for (const auto& [name, value] : fields) {
        entry += name;
        if (value.find('\n') == std::string::npos) {
            entry += "=" + value + "\n";
            continue;
        }
        entry.push_back('\n');
        uint64_t size = value.size();
        for (int byte = 0; byte < 8; ++byte) {
            entry.push_back(static_cast<char>(size & 0xFF));
            size >>= 8;
        }
        entry += value + "\n";
    }
    return entry;
}

std::string_view lifecycleMessageId(uint32_t event) {
    const EventText* text = eventText(event);
    return text != nullptr ? text->messageId : std::string_view();
}

void JournalEvents::attach(HlmPlg::IHlmCore& core) {
    if (!platform::standardErrorIsJournal()) {
        return;
    }
    HlmPlg::IInterface* made = core.createInterface(common::hostctl::kHostControlId);
    if (auto* control = dynamic_cast<common::hostctl::IHostControl*>(made)) {
        control->setEventSink(this);
    }
    if (made != nullptr) {
        core.releaseInterface(common::hostctl::kHostControlId, made);
    }
}

void JournalEvents::pluginEvent(const common::hostctl::PluginEventInfo& event) {
    const EventText* text = eventText(event.event);
    if (text == nullptr) {
        return;
    }
    const std::string name = utf8(event.name);
    const std::string file = utf8(event.file);
    std::string message = "plugin " + name + " " + std::string(text->verb);
    const bool hasCode = event.event != static_cast<uint32_t>(PluginEvent::Started) &&
                         event.event != static_cast<uint32_t>(PluginEvent::Stopped);
    if (hasCode) {
        message += " (code " + std::to_string(event.code) + ")";
    }
    JournalFields fields{{"MESSAGE", message},
                         {"PRIORITY", std::to_string(static_cast<int>(text->priority))},
                         {"SYSLOG_IDENTIFIER", "avholm"},
                         {"MESSAGE_ID", std::string(text->messageId)},
                         {"PLUGIN", name},
                         {"PLUGIN_FILE", file},
                         {"PLUGIN_GENERATION", std::to_string(event.generation)}};
    if (hasCode) {
        fields.emplace_back("CODE", std::to_string(event.code));
    }
    if (platform::sendDatagram(platform::journalSocketPath(), nativeJournalEntry(fields))) {
        return;
    }
    writeLogLine(text->priority == Priority::Error ? 0 : 1, "avholm", message);
}

}  // namespace holm::product::host
