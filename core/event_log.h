// The operator's event log of the plugin manager: one line per lifecycle
// event in the host's report log "<data>/LOGFILES/<host>.log".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hlmplg/config.h"
#include "hlmplg/plugin.h"

namespace holm::core {

// Level, style and category of an event line, as the log service reads them.
struct EventKind {
    uint32_t level;
    uint32_t style;
    uint32_t category;
};
inline constexpr EventKind kFailureEvent{1, 5, 3};
inline constexpr EventKind kSuccessEvent{2, 5, 1};

// Message numbers of "holmmsg.dll".
inline constexpr uint32_t kMessageStartSucceeded = 581;
inline constexpr uint32_t kMessageStartFailed = 582;
inline constexpr uint32_t kMessageLoadFailed = 583;

// One event line: its format is message `messageId` of "holmmsg.dll", or
// `text` when messageId is 0; `insertion` and `code` are its arguments.
struct EventLine {
    EventKind kind;
    uint32_t messageId;
    std::u16string text;
    std::u16string insertion;
    uint32_t code;
};

struct EventLogSettings {
    std::u16string path;
    int32_t level;
    uint32_t maximumSize;
    bool backup;
};

// The event log's file name for the host program at `executablePath`: only
// the service hosts "avholm" and "plansvc" (compared ignoring case, without
// the system's program suffix, ".exe" on Windows) write events, to
// "<name>.log"; any other program gets none.
std::optional<std::u16string> eventLogName(std::string_view executablePath);

// Where and how the log named `logName` is written, from the configuration:
// "ReportDirectory" of "COMMON" (default the data subdirectory "LOGFILES"),
// "ReportingLevel", "MaximumLogFileSize" and "OnAccessBackupLog" of "HOLM".
// None when the path would exceed 259 characters.
std::optional<EventLogSettings> eventLogSettings(std::u16string_view logName,
                                                 HlmPlg::IConfig& config);

// Writes the lifecycle's events to the host's report log. Every event binds
// anew: it obtains a configuration object (IConfig, id 1) and a log (ILog,
// id 18) through the facade, opens the log with the settings read now (so a
// reload that moves the report directory takes effect at the next event),
// writes one line and releases both. Logs opened on one path share one
// writer in the process, so binding per event costs no second descriptor and
// never races another writer's rollover.
class EventReporter {
  public:
    // Objects are obtained from `facade`; the log is named after the host
    // program at `executablePath`.
    EventReporter(HlmPlg::IHlmPlg& facade, std::string executablePath);
    EventReporter(const EventReporter&) = delete;
    EventReporter& operator=(const EventReporter&) = delete;

    // The party the objects are obtained for.
    void setOwner(HlmPlg::CHlmPlg* owner) { owner_ = owner; }

    // Writes the line. Nothing happens for another host program or while the
    // facade serves no configuration or log object.
    void report(const EventLine& line);

    // The text of the line: its message (through IResString2, id 21, from
    // "holmmsg.dll") or its own text, with the insertion and the code. A
    // message the library lacks is written as "Message <id>: <insertion>
    // (<code>)", so that no event is lost for want of its text.
    std::u16string eventText(const EventLine& line);

  private:
    std::u16string messageText(uint32_t messageId);

    HlmPlg::IHlmPlg& facade_;
    HlmPlg::CHlmPlg* owner_ = nullptr;
    std::string executablePath_;
};

}  // namespace holm::core
