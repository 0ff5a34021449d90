#include "product/host/control_server.h"

#include <cstdio>
#include <string_view>

#include "common/utf16.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/local_event.h"
#include "platform/named_event.h"
#include "platform/process_info.h"
#include "product/host/control_protocol.h"
#include "product/host/host_handler.h"
#include "product/host/system_texts.h"

namespace holm::product::host {

namespace {

using holm::common::utf16ToUtf8;
using holm::common::utf8ToUtf16;

// Anyone may connect: the peer's credentials decide, so that another user
// hears a refusal rather than finding no socket.
constexpr uint32_t kSocketMode = 0666;

std::string errorAnswer(std::string_view kind, const std::string& text) {
    return answerLine({"error", std::string(kind), text});
}

std::string peerText(uint32_t uid, int pid) {
    return "uid " + std::to_string(uid) + ", pid " + std::to_string(pid);
}

class CollectedResults final : public common::hostctl::ITestResults {
  public:
    void result(const char16_t* plugin, bool passed) override {
        lines += answerLine({"test", plugin != nullptr ? utf16ToUtf8(plugin) : std::string(),
                             passed ? "passed" : "failed"});
    }
    std::string lines;
};

}  // namespace

ControlServer::ControlServer(HlmPlg::IHlmCore& core, ControlHostInfo info)
    : core_(core), info_(std::move(info)) {
    const std::string channel = "control " + std::string(controlChannelNoun());
    const std::string directory = platform::localChannelDirectory();
    if (!directory.empty() && !platform::isDirectory(directory)) {
        writeLogLine(2, "avholm",
                     "no " + channel + ": the runtime directory " + directory + " does not exist");
        return;
    }
    control_ = dynamic_cast<common::hostctl::IHostControl*>(
        core_.createInterface(common::hostctl::kHostControlId));
    if (control_ == nullptr) {
        writeLogLine(1, "avholm", "no " + channel + ": the core gives no control object");
        return;
    }
    auto listener = platform::LocalListener::listen(controlSocketPath(), kSocketMode);
    auto stop = platform::createLocalEvent(false);
    if (!listener || !stop) {
        writeLogLine(0, "avholm",
                     "no " + channel + " at " + controlSocketPath() + ": " +
                         (listener ? stop.error() : listener.error()).message());
        return;
    }
    listener_ = std::move(*listener);
    stop_ = std::move(*stop);
    thread_ = std::thread([this] { serve(); });
    writeLogLine(1, "avholm", channel + " " + listener_.path());
}

ControlServer::~ControlServer() {
    if (thread_.joinable()) {
        (void)platform::setLocalEvent(stop_.get());  // failure: nothing left to wake it with
        thread_.join();
    }
    if (control_ != nullptr) {
        core_.releaseInterface(common::hostctl::kHostControlId, control_);
    }
}

void ControlServer::serve() {
    const int fds[] = {listener_.fd(), stop_.get()};
    for (;;) {
        bool ready[2] = {false, false};
        const auto waited = platform::io::waitAnyReadable(fds, ready, platform::io::kNoDeadline);
        if (!waited || ready[1]) {
            return;
        }
        while (platform::UniqueFd connection = listener_.accept()) {
            handle(std::move(connection));
            if (platform::isLocalEventSet(stop_.get())) {
                return;
            }
        }
    }
}

// The request is read whole before anything is answered, also from a peer
// that is refused: a connection closed with data unread would be reset, and
// the peer would lose the answer.
void ControlServer::handle(platform::UniqueFd connection) {
    const int fd = connection.get();
    const auto peer = platform::peerCredentials(fd);
    if (!peer) {
        return;
    }
    const bool admitted = peer->uid == 0 || peer->uid == platform::effectiveUserId();
    const auto timeout = admitted ? kClientTimeout : kRefusedClientTimeout;
    // Bounds a send to a client that takes no answer; without it the
    // request's deadline below still holds.
    (void)platform::setSocketTimeouts(fd, timeout);
    std::string request;
    const auto deadline = platform::io::deadlineIn(timeout);
    uint8_t buffer[4096];
    const int waited[] = {fd, stop_.get()};
    bool tooLong = false;
    for (;;) {
        // The host's stop does not wait for a slow client.
        bool ready[2] = {false, false};
        const auto readable = platform::io::waitAnyReadable(waited, ready, deadline);
        if (!readable || !*readable || ready[1]) {
            return;  // too slow, gone, or the host stops
        }
        const auto got = platform::io::readSome(fd, buffer);
        if (!got) {
            return;
        }
        if (*got == 0) {
            break;
        }
        if (request.size() + *got > kMaxControlRequest) {
            tooLong = true;  // the rest is read and dropped
            continue;
        }
        request.append(reinterpret_cast<const char*>(buffer), *got);
    }
    // Each answer is the last thing sent: a peer that is gone gets nothing.
    if (tooLong) {
        (void)platform::sendFull(fd, errorAnswer(kBadRequest, "request too long"));
        return;
    }
    if (!admitted) {
        logRefusal(peer->uid, peer->pid);
        (void)platform::sendFull(fd, errorAnswer(kDenied, "access denied"));
        return;
    }
    (void)platform::sendFull(fd, answer(decodeRequest(request), peer->uid, peer->pid));
}

void ControlServer::logRefusal(uint32_t uid, int pid) {
    const auto now = std::chrono::steady_clock::now();
    if (refusalLogged_ && now - lastRefusalLine_ < kRefusalLogInterval) {
        ++refusalsNotLogged_;
        return;
    }
    std::string line = "control request refused: " + peerText(uid, pid);
    if (refusalsNotLogged_ != 0) {
        line += " (" + std::to_string(refusalsNotLogged_) + " more refused since the last line)";
    }
    writeLogLine(0, "avholm", line);
    refusalLogged_ = true;
    lastRefusalLine_ = now;
    refusalsNotLogged_ = 0;
}

std::string ControlServer::answer(const std::vector<std::string>& request, uint32_t uid, int pid) {
    const std::string command = request.empty() ? std::string() : request[0];
    if (command == "status" && request.size() == 1) {
        return status();
    }
    if (command == "reload" && request.size() == 1) {
        return reload(uid, pid);
    }
    if (command == "test" && (request.size() == 2 || request.size() == 3)) {
        return test(request, uid, pid);
    }
    return errorAnswer(kBadRequest, "unknown request");
}

std::string ControlServer::status() {
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - info_.started);
    std::string lines = answerLine({"ok"});
    lines += answerLine({"host", std::to_string(platform::currentProcessId()), info_.list,
                         std::to_string(uptime.count()), "running"});
    const uint32_t count = control_->snapshot();
    for (uint32_t index = 0; index < count; ++index) {
        common::hostctl::PluginStatus plugin;
        if (!control_->plugin(index, &plugin)) {
            break;
        }
        lines += answerLine({"plugin", plugin.name ? utf16ToUtf8(plugin.name) : std::string(),
                             plugin.file ? utf16ToUtf8(plugin.file) : std::string(),
                             std::to_string(plugin.version), std::to_string(plugin.generation),
                             std::string(pluginStateName(plugin.state)),
                             std::to_string(plugin.changedAtMs), std::to_string(plugin.loadFailed),
                             std::to_string(plugin.loadCode), std::to_string(plugin.startFailed),
                             std::to_string(plugin.startCode), std::to_string(plugin.faults),
                             std::to_string(plugin.lastError)});
    }
    return lines;
}

std::string ControlServer::reload(uint32_t uid, int pid) {
    writeLogLine(1, "avholm", "reloading the configuration (holm-ctl, " + peerText(uid, pid) + ")");
    notifyReloading();
    const auto began = std::chrono::steady_clock::now();
    const uint32_t result = control_->reload();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);
    platform::notifyServiceManager("READY=1\nSTATUS=running");
    return answerLine({"ok"}) + answerLine({"reload", result == 0 ? "done" : "not-running",
                                            std::to_string(took.count())});
}

std::string ControlServer::test(const std::vector<std::string>& request, uint32_t uid, int pid) {
    const std::string& target = request[1];
    const std::string argument = request.size() > 2 ? request[2] : std::string();
    writeLogLine(1, "avholm", "test step of " + target + " (holm-ctl, " + peerText(uid, pid) + ")");
    CollectedResults results;
    const uint32_t tested =
        control_->test(utf8ToUtf16(target).c_str(), utf8ToUtf16(argument).c_str(), &results);
    if (tested == 0) {
        return errorAnswer(kNoSuchPlugin, "no running plugin named " + target);
    }
    return answerLine({"ok"}) + results.lines + answerLine({"tested", std::to_string(tested)});
}

}  // namespace holm::product::host
