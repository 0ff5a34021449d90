// The wire format between holm-ctl and the running host, over the stream
// socket "control" of the runtime directory.
//
// A request is its words, each ended by a NUL byte; the client then ends its
// sending direction. The answer is lines of tab-separated fields (a field's
// backslash, tab and newline written as \\, \t and \n); its first line is
// "ok", or "error", a kind and a text. The host closes the connection after
// the answer.
//
//   status                  host  PID LIST UPTIME-SECONDS STATE
//                           plugin NAME FILE VERSION GENERATION STATE
//                                  CHANGED-MS LOAD-FAILED LOAD-CODE
//                                  START-FAILED START-CODE FAULTS LAST-ERROR
//   reload                  reload done|not-running MILLISECONDS
//   test PLUGIN|all [ARG]   test NAME passed|failed (one per plugin)
//                           tested COUNT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace holm::product::host {

// Error kinds of an answer.
inline constexpr std::string_view kDenied = "denied";
inline constexpr std::string_view kBadRequest = "bad-request";
inline constexpr std::string_view kNoSuchPlugin = "no-such-plugin";

// The longest request the host reads.
inline constexpr size_t kMaxControlRequest = 64 * 1024;

// Where the host serves: "<runtime directory>/control" on Linux, the pipe
// "\\.\pipe\holm-control" (and a digest of HOLM_RUNTIME_DIR when set) on
// Windows; see platform::localChannelPath.
std::string controlSocketPath();

std::string encodeRequest(const std::vector<std::string>& words);
// The words of a request; a trailing part without its NUL is dropped.
std::vector<std::string> decodeRequest(std::string_view data);

// One answer line (with its newline) of `fields`, escaped.
std::string answerLine(const std::vector<std::string>& fields);
// The fields of one answer line (without its newline), unescaped.
std::vector<std::string> answerFields(std::string_view line);

// A plugin state's name: "unloaded", "loaded", "started", "stopped".
std::string_view pluginStateName(uint32_t state);

}  // namespace holm::product::host
