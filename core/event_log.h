// The operator's event log of the plugin manager: one writer for the life of
// the manager, bound on first use to the log service (ILog, id 18) with the
// settings of the configuration (IConfig, id 1).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
// the service hosts "avholm" and "plansvc" (compared ignoring case) write
// events, to "<name>.log"; any other program gets none.
std::optional<std::u16string> eventLogName(std::string_view executablePath);

// Where and how the log named `logName` is written, from the configuration:
// "ReportDirectory" of "COMMON" (default the data subdirectory "LOGFILES"),
// "ReportingLevel", "MaximumLogFileSize" and "OnAccessBackupLog" of "HOLM".
// None when the path would exceed 259 characters.
std::optional<EventLogSettings> eventLogSettings(std::u16string_view logName,
                                                 HlmPlg::IConfig& config);

// Opens the log service object with the settings and writes event lines to
// it. The logging service supplies this; without it no event is written.
class EventLogWriter {
  public:
    virtual ~EventLogWriter() = default;
    virtual void write(const EventLine& line) = 0;
};
using EventLogWriterFactory = std::function<std::unique_ptr<EventLogWriter>(
    HlmPlg::IInterface* log, const EventLogSettings& settings)>;

class EventReporter {
  public:
    // Objects are obtained from `facade`; the log is named after the host
    // program at `executablePath`.
    EventReporter(HlmPlg::IHlmPlg& facade, std::string executablePath);
    ~EventReporter();
    EventReporter(const EventReporter&) = delete;
    EventReporter& operator=(const EventReporter&) = delete;

    // The party the configuration and log objects are obtained for.
    void setOwner(HlmPlg::CHlmPlg* owner) { owner_ = owner; }
    void setWriterFactory(EventLogWriterFactory factory) { factory_ = std::move(factory); }

    // Writes the line, binding the log first if it is not bound yet. Nothing
    // happens while no log can be bound (no provider for the configuration or
    // the log, another host program, no writer).
    void report(const EventLine& line);

  private:
    bool bind();
    void releaseObjects();

    HlmPlg::IHlmPlg& facade_;
    HlmPlg::CHlmPlg* owner_ = nullptr;
    std::string executablePath_;
    EventLogWriterFactory factory_;
    HlmPlg::IInterface* config_ = nullptr;
    HlmPlg::IInterface* log_ = nullptr;
    std::unique_ptr<EventLogWriter> writer_;
};

}  // namespace holm::core
