// avholm's command line: its own options, the plugin list, and the arguments
// it hands on to the core.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace holm::product::host {

inline constexpr std::chrono::milliseconds kDefaultStopLimit = std::chrono::seconds(30);

struct HostOptions {
    bool help = false;
    // The plugin list: a path or an inline list ("@XMLFILE:..."); nothing
    // selects plugins.xml in the product directory.
    std::optional<std::string> pluginList;
    // The shared core's name; nothing selects a private core.
    std::optional<std::string> sharedName;
    // Stop by itself after this time, as if TERM had arrived.
    std::optional<std::chrono::milliseconds> runFor;
    // The longest a stop may take, from the TERM or INT that asked for it,
    // before the host ends at once (a plugin that never returns from its
    // start or stop would otherwise keep the service alive until it is
    // killed).
    std::chrono::milliseconds stopLimit = kDefaultStopLimit;
    // Where the log lines go instead of standard error (appended): for a
    // service whose manager keeps no output of its programs.
    std::optional<std::string> logFile;
    // The program name, then every argument that is neither an option of
    // avholm's nor the plugin list, in their order.
    std::vector<std::string> coreArguments;
};

struct ParseResult {
    HostOptions options;
    // Empty when the command line is valid; otherwise one line saying why.
    std::string error;
};

// avholm's own options are recognised anywhere on the line until "--"; the
// first other argument is the plugin list; everything else is handed on.
// Before the list, an argument beginning with "--" that is no option of
// avholm's is a usage error.
ParseResult parseArguments(const std::vector<std::string>& arguments);

// True when `list` is an inline plugin list: it starts with "@XMLFILE:",
// compared case-insensitively.
bool isInlineList(const std::string& list);

// Empty when the plugin list file `path` can be read; otherwise one line:
// "plugin list not found: PATH" or "cannot read plugin list: PATH".
std::string pluginListProblem(const std::string& path);

}  // namespace holm::product::host
