#include "product/host/host_options.h"

#include <charconv>
#include <cstdint>

#include "platform/errors.h"
#include "platform/file_system.h"

namespace holm::product::host {

namespace {

constexpr std::string_view kInlinePrefix = "@XMLFILE:";
// The longest --run-for accepted, so that the deadline arithmetic cannot overflow.
constexpr uint64_t kMaxRunForSeconds = 100ull * 365 * 24 * 3600;

std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text) {
    uint64_t seconds = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, seconds);
    if (text.empty() || error != std::errc() || stop != end || seconds > kMaxRunForSeconds) {
        return std::nullopt;
    }
    return std::chrono::seconds(seconds);
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool isInlineList(const std::string& list) {
    if (list.size() < kInlinePrefix.size()) {
        return false;
    }
    for (size_t i = 0; i < kInlinePrefix.size(); ++i) {
        if (lower(list[i]) != lower(kInlinePrefix[i])) {
            return false;
        }
    }
    return true;
}

ParseResult parseArguments(const std::vector<std::string>& arguments) {
    ParseResult result;
    HostOptions& options = result.options;
    options.coreArguments.push_back(arguments.empty() ? "avholm" : arguments[0]);
    bool ownOptionsEnded = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (!ownOptionsEnded && argument == "--") {
            ownOptionsEnded = true;
        } else if (!ownOptionsEnded && argument == "--help") {
            options.help = true;
        } else if (!ownOptionsEnded && argument == "--shared") {
            if (!hasValue || arguments[i + 1].empty()) {
                result.error = "--shared needs a name";
                return result;
            }
            options.sharedName = arguments[++i];
        } else if (!ownOptionsEnded && argument == "--log") {
            if (!hasValue || arguments[i + 1].empty()) {
                result.error = "--log needs a file";
                return result;
            }
            options.logFile = arguments[++i];
        } else if (!ownOptionsEnded && argument == "--run-for") {
            options.runFor = hasValue ? parseSeconds(arguments[i + 1]) : std::nullopt;
            if (!options.runFor) {
                result.error = "--run-for needs a whole number of seconds";
                return result;
            }
            ++i;
        } else if (!ownOptionsEnded && argument == "--stop-limit") {
            const auto limit = hasValue ? parseSeconds(arguments[i + 1]) : std::nullopt;
            if (!limit || limit->count() == 0) {
                result.error = "--stop-limit needs a whole number of seconds above 0";
                return result;
            }
            options.stopLimit = *limit;
            ++i;
        } else if (!ownOptionsEnded && !options.pluginList && argument.starts_with("--")) {
            // Before the list only the host's own options are taken; a list
            // whose name begins with "--" follows "--".
            result.error = "unknown option " + argument;
            return result;
        } else if (!options.pluginList) {
            options.pluginList = argument;
        } else {
            options.coreArguments.push_back(argument);
        }
    }
    return result;
}

std::string pluginListProblem(const std::string& path) {
    // Looked at before it is opened, so that a FIFO in its place cannot block the host.
    const auto info = platform::statPath(path);
    if (!info && (info.error().errnoValue() == ENOENT || info.error().errnoValue() == ENOTDIR)) {
        return "plugin list not found: " + path;
    }
    const bool readable =
        info && platform::isRegularFile(path) && platform::openForReading(path).ok();
    return readable ? "" : "cannot read plugin list: " + path;
}

}  // namespace holm::product::host
