#include "product/host/host_handler.h"

#include <chrono>
#include <cstdio>

#include "common/log_text.h"
#include "common/utf16.h"
#include "platform/io.h"
#include "platform/journal.h"

namespace holm::product::host {

namespace {

constexpr uint64_t kCodeSet = uint64_t{1} << 32;

std::optional<uint32_t> codeOf(uint64_t stored) {
    return stored & kCodeSet ? std::optional<uint32_t>(static_cast<uint32_t>(stored))
                             : std::nullopt;
}

std::string utf8(const char16_t* text) {
    return text ? holm::common::utf16ToUtf8(text) : std::string();
}

// Zero-padded decimal of `width` digits.
std::string padded(long long value, int width) {
    std::string digits = std::to_string(value);
    return std::string(digits.size() < static_cast<size_t>(width) ? width - digits.size() : 0,
                       '0') +
           digits;
}

}  // namespace

std::string utcTimeText(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(when);
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    return padded(static_cast<int>(date.year()), 4) + "-" +
           padded(static_cast<unsigned>(date.month()), 2) + "-" +
           padded(static_cast<unsigned>(date.day()), 2) + " " + padded(time.hours().count(), 2) +
           ":" + padded(time.minutes().count(), 2) + ":" + padded(time.seconds().count(), 2) + "." +
           padded(time.subseconds().count(), 3);
}

namespace {

std::string stateText(uint32_t state, uint32_t exitCode) {
    switch (state) {
        case HlmPlg::SERVICE_STATE_STOPPED:
            return "stopped (exit code " + std::to_string(exitCode) + ")";
        case HlmPlg::SERVICE_STATE_START_PENDING:
            return "starting";
        case HlmPlg::SERVICE_STATE_STOP_PENDING:
            return "stopping";
        default:
            return "state " + std::to_string(state);
    }
}

}  // namespace

// Level 0 carries failures and important events alike ("test(...) = true"),
// so it is a notice, not an error.
const char* levelName(uint32_t level) {
    switch (level) {
        case 0:
            return "NOTICE";
        case 1:
            return "INFO";
        default:
            return "DEBUG";
    }
}

Priority priorityOf(uint32_t level) {
    switch (level) {
        case 0:
            return Priority::Notice;
        case 1:
            return Priority::Info;
        default:
            return Priority::Debug;
    }
}

std::string journalPrefix(Priority priority) {
    static const bool journal = platform::standardErrorIsJournal();
    return journal ? "<" + std::to_string(static_cast<int>(priority)) + ">" : std::string();
}

std::string logLine(uint32_t level, const std::string& source, const std::string& text) {
    return utcTimeText(std::chrono::system_clock::now()) + " " + levelName(level) + " " + source +
           ": " + text + "\n";
}

// One write of the whole line to descriptor 2, which is standard error or
// the --log file (a service on Windows has no standard error stream).
void writeLogLine(uint32_t level, const std::string& source, const std::string& text) {
    (void)platform::io::writeFull(
        2, journalPrefix(priorityOf(level)) +
               logLine(level, holm::common::logLineText(source), holm::common::logLineText(text)));
}

// The service manager wants the monotonic time of the request with it
// (steady_clock is the monotonic clock here).
void notifyReloading() {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    const std::string state = "RELOADING=1\nSTATUS=reloading the configuration\nMONOTONIC_USEC=" +
                              std::to_string(now.count());
    platform::notifyServiceManager(state.c_str());
}

void HostHandler::log(uint32_t level, const char16_t* source, const char16_t* text) {
    const std::string line = utf8(text);
    if (level == 0 && utf8(source) == "Core" && line.starts_with("Unable to load plugin '")) {
        pluginsRefused_.fetch_add(1);
    }
    writeLogLine(level, utf8(source), line);
}

void HostHandler::setServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs) {
    if (state == HlmPlg::SERVICE_STATE_STOPPED) {
        stoppedCode_.store(kCodeSet | exitCode);
    } else if (state == HlmPlg::SERVICE_STATE_START_PENDING) {
        pluginsStarted_.fetch_add(1);
    }
    const std::string text = stateText(state, exitCode);
    writeLogLine(1, "avholm", "service " + text);
    std::string notification = "STATUS=" + text;
    if (state == HlmPlg::SERVICE_STATE_STOP_PENDING) {
        notification += "\nSTOPPING=1";
    }
    const bool pending =
        state == HlmPlg::SERVICE_STATE_START_PENDING || state == HlmPlg::SERVICE_STATE_STOP_PENDING;
    if (pending && waitHintMs > 0) {
        // The core's wait hint extends the service manager's start or stop timeout.
        notification += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{waitHintMs} * 1000);
    }
    platform::notifyServiceManager(notification.c_str());
}

void HostHandler::setExitCode(uint32_t code) {
    exitCode_.store(kCodeSet | code);
}

void HostHandler::requestStop() {
    stopRequested_.store(true);
    mainLoop_.wake();
}

std::optional<uint32_t> HostHandler::exitCode() const {
    return codeOf(exitCode_.load());
}

std::optional<uint32_t> HostHandler::stoppedCode() const {
    return codeOf(stoppedCode_.load());
}

}  // namespace holm::product::host
