#include "product/host/session_forwarder.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/epoll_set.h"
#include "product/host/host_handler.h"
#include "product/host/system_texts.h"

namespace holm::product::host {

std::vector<SessionChange> sessionChanges(const std::set<uint32_t>& before,
                                          const std::set<uint32_t>& after) {
    std::vector<uint32_t> gone;
    std::vector<uint32_t> added;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(gone));
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    std::vector<SessionChange> changes;
    for (uint32_t id : gone) {
        changes.push_back({HlmPlg::kSessionLogoff, id});
    }
    for (uint32_t id : added) {
        changes.push_back({HlmPlg::kSessionLogon, id});
    }
    return changes;
}

SessionForwarder::SessionForwarder(HlmPlg::IHlmCore& core) : core_(core) {
    const auto sessions = platform::loginSessions();
    if (!sessions || monitor_.failure() == ENOENT) {
        writeLogLine(
            1, "avholm",
            noSessionFollowingText(sessions.has_value()) + ": session changes are not forwarded");
        return;
    }
    if (!monitor_.valid() || !stop_.valid()) {
        // logind is there, but a limit (watch instances, descriptors) keeps
        // this process from following it.
        const int error = monitor_.valid() ? EMFILE : monitor_.failure();
        writeLogLine(0, "avholm",
                     std::string("cannot watch login sessions (") + std::strerror(error) +
                         "): session changes are not forwarded");
        return;
    }
    // Sessions open at the start are not announced: the plugins were not
    // running when they began.
    sessions_ = *sessions;
    thread_ = std::thread([this] { watch(); });
    writeLogLine(1, "avholm",
                 "forwarding login session changes (" + std::to_string(sessions_.size()) +
                     " sessions open)");
}

SessionForwarder::~SessionForwarder() {
    if (thread_.joinable()) {
        stop_.set();
        thread_.join();
    }
}

void SessionForwarder::watch() {
    constexpr uint64_t kStopKey = 0;
    constexpr uint64_t kMonitorKey = 1;
    platform::EpollSet epoll;
    if (!epoll.valid() || !epoll.add(stop_.descriptor(), kStopKey) ||
        !epoll.add(monitor_.descriptor(), kMonitorKey)) {
        writeLogLine(0, "avholm", "cannot wait for session changes: they are not forwarded");
        return;
    }
    std::array<uint64_t, 2> ready{};
    for (;;) {
        const int count = epoll.wait(ready);
        if (count < 0) {
            writeLogLine(0, "avholm", "waiting for session changes failed: no longer forwarded");
            return;
        }
        for (int i = 0; i < count; ++i) {
            if (ready[static_cast<size_t>(i)] == kStopKey) {
                return;
            }
        }
        monitor_.flush();
        const auto now = platform::loginSessions();
        if (!now) {
            continue;  // the session manager is restarting; the next change tells
        }
        for (const SessionChange& change : sessionChanges(sessions_, *now)) {
            forward(change);
        }
        sessions_ = *now;
    }
}

void SessionForwarder::forward(const SessionChange& change) {
    writeLogLine(1, "avholm",
                 std::string(change.eventType == HlmPlg::kSessionLogon ? "logon" : "logoff") +
                     " of session " + std::to_string(change.sessionId));
    HlmPlg::SessionNotification record{sizeof(HlmPlg::SessionNotification), change.sessionId};
    core_.serviceControl(HlmPlg::kServiceControlSessionChange, change.eventType, &record);
}

}  // namespace holm::product::host
