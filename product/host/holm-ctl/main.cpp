// holm-ctl: the operator's view of the running host. Asks avholm over its
// control socket for the plugins and their states, for a reload or for a
// plugin's test step. See usage() for the commands and exit codes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io.h"
#include "platform/local_socket.h"
#include "product/host/control_protocol.h"
#include "product/host/host_handler.h"
#include "product/host/system_texts.h"

namespace holm::product {
namespace {

using namespace holm;

// In the manner of the service manager's own tool (and the LSB codes).
enum ExitCode : int {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kNotRunning = 3,
    kDenied = 4,
    kNoSuchPlugin = 5,
};

// A reload or test step takes as long as the plugins take; a host that does
// not answer within this is given up on.
constexpr std::chrono::seconds kAnswerTimeout{300};
constexpr size_t kMaxAnswer = 64 * 1024 * 1024;

void usage(std::FILE* out) {
    std::fputs("usage: holm-ctl [--help] COMMAND [ARGS...]\n\n", out);
    std::fputs(std::string(host::holmCtlChannelHelp()).c_str(), out);
    std::fputs(
        "\n"
        "Commands:\n"
        "  status [--json]        the host (pid, plugin list, uptime, state), then one\n"
        "                         row per plugin of either generation: name,\n"
        "                         generation, version, state (unloaded, loaded,\n"
        "                         started, stopped), since when (UTC), faults\n"
        "                         contained, last error, file, and a failed load or\n"
        "                         start with its code; --json gives the same for scripts\n"
        "  reload                 reloads the configuration as HUP does, waits until\n"
        "                         the reload has ended and reports it\n"
        "  test PLUGIN|all [ARG]  runs the test step of the running plugin PLUGIN (or\n"
        "                         of every one) with ARG and prints each result\n"
        "\n"
        "Options:\n"
        "  -h, --help             print this text\n"
        "\n"
        "Exit codes:\n"
        "    0  done (every test step passed)\n"
        "    1  the request failed: a test step returned false, the plugins do not\n"
        "       run (reload), or the host's answer was cut short or not understood\n"
        "    2  usage error\n",
        out);
    const std::string noun(host::controlChannelNoun());
    std::fprintf(out, "    3  avholm is not running: no control %s, or nobody listens on it\n",
                 noun.c_str());
    std::fputs(std::string(host::holmCtlDeniedHelp()).c_str(), out);
    std::fputs("    5  test: no running plugin has that name\n", out);
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "holm-ctl: %s (see holm-ctl --help)\n", text.c_str());
    return kUsage;
}

int failure(int code, const std::string& text) {
    std::fprintf(stderr, "holm-ctl: %s\n", text.c_str());
    return code;
}

struct Answer {
    Answer() = default;
    // A failed request: its exit code.
    Answer(int failed) : code(failed) {}

    int code = kOk;  // kOk when `lines` holds the host's answer
    std::vector<std::vector<std::string>> lines;
};

// Sends the request and reads the whole answer; its first line is taken
// apart here ("ok", or an error and its kind).
Answer ask(const std::vector<std::string>& request) {
    const std::string path = host::controlSocketPath();
    auto connected = platform::connectLocal(path);
    if (!connected) {
        const int error = connected.error().errnoValue();
        if (error == EACCES || error == EPERM) {
            return Answer(failure(kDenied, "access denied to " + path));
        }
        return Answer(failure(kNotRunning, "avholm is not running (no answer at " + path + ": " +
                                               connected.error().message() + ")"));
    }
    const int fd = connected->get();
    // A host that refuses answers at once and closes: its answer is read
    // even when the request could not be sent whole.
    const bool sent =
        platform::sendFull(fd, host::encodeRequest(request)) && platform::shutdownSending(fd);
    std::string data;
    const auto deadline = platform::io::deadlineIn(kAnswerTimeout);
    uint8_t buffer[16384];
    for (;;) {
        const auto readable = platform::io::waitReadable(fd, deadline);
        if (!readable || !*readable) {
            return Answer(failure(kFailed, "avholm did not answer in time"));
        }
        const auto got = platform::io::readSome(fd, buffer);
        if (!got) {
            return Answer(failure(kFailed, "reading the answer failed: " + got.error().message()));
        }
        if (*got == 0) {
            break;
        }
        data.append(reinterpret_cast<const char*>(buffer), *got);
        if (data.size() > kMaxAnswer) {
            return Answer(failure(kFailed, "the answer is too long"));
        }
    }
    Answer answer;
    size_t begin = 0;
    for (size_t end = data.find('\n'); end != std::string::npos; end = data.find('\n', begin)) {
        answer.lines.push_back(
            host::answerFields(std::string_view(data).substr(begin, end - begin)));
        begin = end + 1;
    }
    if (answer.lines.empty()) {
        return Answer(failure(kFailed, sent ? "avholm closed the connection without an answer"
                                            : "cannot send the request to " + path));
    }
    const auto& first = answer.lines.front();
    if (first[0] == "error") {
        const std::string kind = first.size() > 1 ? first[1] : std::string();
        const std::string text = first.size() > 2 ? first[2] : kind;
        const int code = kind == host::kDenied         ? kDenied
                         : kind == host::kNoSuchPlugin ? kNoSuchPlugin
                                                       : kFailed;
        return Answer(failure(code, text));
    }
    if (first[0] != "ok") {
        return Answer(failure(kFailed, "an answer not understood: " + first[0]));
    }
    answer.lines.erase(answer.lines.begin());
    return answer;
}

// A field of a line, or empty past its end.
std::string field(const std::vector<std::string>& line, size_t index) {
    return index < line.size() ? line[index] : std::string();
}

uint64_t number(const std::string& text) {
    uint64_t value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') {
            return 0;
        }
        value = value * 10 + static_cast<uint64_t>(digit - '0');
    }
    return value;
}

struct PluginRow {
    std::string name, file, version, generation, state, since, faults, lastError;
    int64_t changedAtMs = 0;
    bool loadFailed = false, startFailed = false;
    std::string loadCode, startCode;
};

// A version's four bytes as "4.0.1.0"; "-" for none.
std::string versionText(uint64_t version) {
    if (version == 0) {
        return "-";
    }
    return std::to_string((version >> 24) & 0xFF) + "." + std::to_string((version >> 16) & 0xFF) +
           "." + std::to_string((version >> 8) & 0xFF) + "." + std::to_string(version & 0xFF);
}

std::string sinceText(int64_t milliseconds) {
    const std::string text = host::utcTimeText(std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::milliseconds(milliseconds))));
    return text.substr(0, text.find('.'));  // to the second
}

PluginRow pluginRow(const std::vector<std::string>& line) {
    PluginRow row;
    row.name = field(line, 1);
    row.file = field(line, 2);
    row.version = versionText(number(field(line, 3)));
    row.generation = field(line, 4);
    row.state = field(line, 5);
    row.changedAtMs = static_cast<int64_t>(number(field(line, 6)));
    row.since = sinceText(row.changedAtMs);
    row.loadFailed = field(line, 7) == "1";
    row.loadCode = field(line, 8);
    row.startFailed = field(line, 9) == "1";
    row.startCode = field(line, 10);
    row.faults = field(line, 11);
    row.lastError = field(line, 12);
    return row;
}

// "YYYY-MM-DDTHH:MM:SSZ" of "YYYY-MM-DD HH:MM:SS".
std::string isoTime(std::string text) {
    std::replace(text.begin(), text.end(), ' ', 'T');
    return text + "Z";
}

std::string problemText(const PluginRow& row) {
    if (row.loadFailed) {
        return "failed to load (code " + row.loadCode + ")";
    }
    if (row.startFailed) {
        return "failed to start (code " + row.startCode + ")";
    }
    return {};
}

std::string durationText(uint64_t seconds) {
    std::string text;
    if (seconds >= 86400) {
        text += std::to_string(seconds / 86400) + "d ";
    }
    if (seconds >= 3600) {
        text += std::to_string(seconds / 3600 % 24) + "h ";
    }
    if (seconds >= 60) {
        text += std::to_string(seconds / 60 % 60) + "min ";
    }
    return text + std::to_string(seconds % 60) + "s";
}

void printTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) {
                line += std::string(widths[column] - row[column].size() + 2, ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        std::printf("%s\n", line.c_str());
    }
}

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (character == '"' || character == '\\') {
            quoted.push_back('\\');
            quoted.push_back(character);
        } else if (byte < 0x20) {
            static const char* const kHex = "0123456789abcdef";
            quoted += "\\u00";
            quoted.push_back(kHex[byte >> 4]);
            quoted.push_back(kHex[byte & 0xF]);
        } else {
            quoted.push_back(character);
        }
    }
    return quoted + "\"";
}

void printJson(const std::vector<std::string>& host, const std::vector<PluginRow>& plugins) {
    std::string out = "{\"host\":{\"pid\":" + std::to_string(number(field(host, 1))) +
                      ",\"list\":" + jsonString(field(host, 2)) +
                      ",\"uptime_seconds\":" + std::to_string(number(field(host, 3))) +
                      ",\"state\":" + jsonString(field(host, 4)) + "},\"plugins\":[";
    for (size_t index = 0; index < plugins.size(); ++index) {
        const PluginRow& row = plugins[index];
        out += index == 0 ? "" : ",";
        out += "{\"name\":" + jsonString(row.name) + ",\"file\":" + jsonString(row.file) +
               ",\"generation\":" + std::to_string(number(row.generation)) +
               ",\"version\":" + (row.version == "-" ? "null" : jsonString(row.version)) +
               ",\"state\":" + jsonString(row.state) +
               ",\"since\":" + jsonString(isoTime(row.since)) +
               ",\"since_ms\":" + std::to_string(row.changedAtMs) +
               ",\"load_failed\":" + (row.loadFailed ? "true" : "false") +
               ",\"load_code\":" + std::to_string(number(row.loadCode)) +
               ",\"start_failed\":" + (row.startFailed ? "true" : "false") +
               ",\"start_code\":" + std::to_string(number(row.startCode)) +
               ",\"faults\":" + std::to_string(number(row.faults)) +
               ",\"last_error\":" + std::to_string(number(row.lastError)) + "}";
    }
    std::printf("%s]}\n", out.c_str());
}

int status(bool json) {
    const Answer answer = ask({"status"});
    if (answer.code != kOk) {
        return answer.code;
    }
    std::vector<std::string> host;
    std::vector<PluginRow> plugins;
    for (const auto& line : answer.lines) {
        if (line[0] == "host") {
            host = line;
        } else if (line[0] == "plugin") {
            plugins.push_back(pluginRow(line));
        }
    }
    if (host.empty()) {
        return failure(kFailed, "the answer names no host");
    }
    if (json) {
        printJson(host, plugins);
        return kOk;
    }
    const auto started = std::ranges::count(plugins, std::string("started"), &PluginRow::state);
    const auto failed = std::ranges::count_if(
        plugins, [](const PluginRow& row) { return row.loadFailed || row.startFailed; });
    std::printf("avholm (pid %s): %s\n", field(host, 1).c_str(), field(host, 4).c_str());
    std::printf("  Plugin list: %s\n", field(host, 2).c_str());
    std::printf("  Uptime: %s\n", durationText(number(field(host, 3))).c_str());
    std::printf("  Plugins: %zu (%td started, %td failed)\n\n", plugins.size(), started, failed);
    std::vector<std::vector<std::string>> rows{{"NAME", "GEN", "VERSION", "STATE", "SINCE (UTC)",
                                                "FAULTS", "LAST-ERROR", "FILE", "PROBLEM"}};
    for (const PluginRow& row : plugins) {
        rows.push_back({row.name, row.generation, row.version, row.state, row.since, row.faults,
                        row.lastError, row.file, problemText(row)});
    }
    printTable(rows);
    return kOk;
}

int reload() {
    const Answer answer = ask({"reload"});
    if (answer.code != kOk) {
        return answer.code;
    }
    for (const auto& line : answer.lines) {
        if (line[0] != "reload") {
            continue;
        }
        if (field(line, 1) == "done") {
            std::printf("reloaded the configuration in %s ms\n", field(line, 2).c_str());
            return kOk;
        }
        return failure(kFailed, "not reloaded: the plugins do not run");
    }
    return failure(kFailed, "the answer says nothing of the reload");
}

int test(const std::vector<std::string>& request) {
    const Answer answer = ask(request);
    if (answer.code != kOk) {
        return answer.code;
    }
    int code = kOk;
    for (const auto& line : answer.lines) {
        if (line[0] != "test") {
            continue;
        }
        const bool passed = field(line, 2) == "passed";
        std::printf("%s: test %s\n", field(line, 1).c_str(), passed ? "passed" : "FAILED");
        if (!passed) {
            code = kFailed;
        }
    }
    return code;
}

}  // namespace
}  // namespace holm::product

int main(int argc, char** argv) {
    using namespace holm::product;
    std::vector<std::string> words;
    bool json = false;
    bool endOfOptions = false;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (!endOfOptions && (argument == "-h" || argument == "--help")) {
            usage(stdout);
            return kOk;
        }
        if (!endOfOptions && argument == "--json") {
            json = true;
        } else if (!endOfOptions && argument == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && argument.size() > 1 && argument[0] == '-') {
            return usageError("unknown option " + argument);
        } else {
            words.push_back(argument);
        }
    }
    if (words.empty()) {
        return usageError("no command given");
    }
    const std::string& command = words[0];
    if (json && command != "status") {
        return usageError("--json goes with status only");
    }
    if (command == "status") {
        return words.size() == 1 ? status(json) : usageError("status takes no arguments");
    }
    if (command == "reload") {
        return words.size() == 1 ? reload() : usageError("reload takes no arguments");
    }
    if (command == "test") {
        if (words.size() < 2 || words.size() > 3 || words[1].empty()) {
            return usageError("test takes a plugin name (or all) and at most one argument");
        }
        return test(words);
    }
    return usageError("unknown command " + command);
}
