// The host's side of the core: log lines, service status and the requests a
// plugin may make of the host (stop, exit code).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "hlmplg/core.h"
#include "platform/signals.h"

namespace holm::product::host {

// Log levels the core uses, by name: 0 "ERROR", 1 "INFO", anything higher
// "DEBUG".
const char* levelName(uint32_t level);

// Syslog priorities of the host's lines.
enum class Priority { Error = 3, Notice = 5, Info = 6, Debug = 7 };
// The priority of a core log level: 0 notice, 1 info, higher debug.
Priority priorityOf(uint32_t level);
// "<N>" when standard error is the journal, so that the journal files each
// line under its priority (journalctl -p filters on it); empty otherwise, a
// terminal or file gets the lines as they are. Decided at the first call.
std::string journalPrefix(Priority priority);

// "YYYY-MM-DD HH:MM:SS.mmm" of `when`, in UTC.
std::string utcTimeText(std::chrono::system_clock::time_point when);

// "YYYY-MM-DD HH:MM:SS.mmm LEVEL source: text" with the current UTC time.
std::string logLine(uint32_t level, const std::string& source, const std::string& text);

// Writes one line to standard error in a single write, so that lines of
// different threads never interleave. Source and text pass through
// common::logLineText (common/log_text.h): whatever control characters reach
// the host are escaped, so one call is always one line. The line starts with
// the journal prefix of the level's priority.
void writeLogLine(uint32_t level, const std::string& source, const std::string& text);

// Tells the service manager a reload begins (RELOADING=1 with the
// monotonic time of the request).
void notifyReloading();

// Every method may be called from any thread at any time: the requests only
// record what was asked and wake the main loop through its signal channel; none of them
// waits for the main loop.
class HostHandler final : public HlmPlg::IHlmCoreHandler {
  public:
    explicit HostHandler(platform::SignalChannel& mainLoop) : mainLoop_(mainLoop) {}

    void log(uint32_t level, const char16_t* source, const char16_t* text) override;
    // Logs the state, remembers the exit code of a "stopped" report and
    // tells the service manager.
    void setServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs) override;
    void setExitCode(uint32_t code) override;
    void* getStatusHandle() override { return nullptr; }
    void requestStop() override;
    bool canStart() override { return true; }

    bool stopRequested() const { return stopRequested_.load(); }
    // Plugins the core reported it could not load ("Unable to load plugin
    // '...'", its one report of a refused plugin), and plugins it went on to
    // start (each start is announced as "start pending").
    uint32_t pluginsRefused() const { return pluginsRefused_.load(); }
    uint32_t pluginsStarted() const { return pluginsStarted_.load(); }
    // The last code given to setExitCode, if any.
    std::optional<uint32_t> exitCode() const;
    // The last exit code reported with the state "stopped", if any.
    std::optional<uint32_t> stoppedCode() const;

  private:
    platform::SignalChannel& mainLoop_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<uint32_t> pluginsRefused_{0};
    std::atomic<uint32_t> pluginsStarted_{0};
    // Codes are kept with a "set" bit above the 32 code bits.
    std::atomic<uint64_t> exitCode_{0};
    std::atomic<uint64_t> stoppedCode_{0};
};

}  // namespace holm::product::host
