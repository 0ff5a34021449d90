// Forwards login session changes to the core: each session that appears is
// a logon, each that disappears a logoff, handed to the core's
// serviceControl as the session-change request (control 14) from a thread of
// the host's own. Without a session manager (logind) nothing is forwarded,
// and a log line says so.
#pragma once

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "hlmplg/core.h"
#include "platform/manual_event.h"
#include "platform/sessions.h"

namespace holm::product::host {

struct SessionChange {
    uint32_t eventType;  // HlmPlg::kSessionLogon or kSessionLogoff
    uint32_t sessionId;
    bool operator==(const SessionChange&) const = default;
};

// The changes from `before` to `after`: logoffs of the sessions gone, then
// logons of the new ones, each in ascending order of session number.
std::vector<SessionChange> sessionChanges(const std::set<uint32_t>& before,
                                          const std::set<uint32_t>& after);

class SessionForwarder {
  public:
    // Starts forwarding to `core`, which must outlive the forwarder.
    explicit SessionForwarder(HlmPlg::IHlmCore& core);
    // Stops forwarding; returns once no call into the core runs any more.
    ~SessionForwarder();
    SessionForwarder(const SessionForwarder&) = delete;
    SessionForwarder& operator=(const SessionForwarder&) = delete;

  private:
    void watch();
    void forward(const SessionChange& change);

    HlmPlg::IHlmCore& core_;
    platform::SessionMonitor monitor_;
    platform::ManualEvent stop_;
    std::set<uint32_t> sessions_;
    std::thread thread_;
};

}  // namespace holm::product::host
