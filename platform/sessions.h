// Login sessions, as the system's session manager (logind) knows them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>

namespace holm::platform {

// The user id of the owner of login session `sessionId` (logind's session
// named by that number); nullopt when there is no such session or no session
// manager.
std::optional<uint32_t> sessionOwner(uint32_t sessionId);

// The numbers of the current login sessions (sessions whose name is not a
// number, such as those of background jobs, are left out); nullopt when no
// session manager answers.
std::optional<std::set<uint32_t>> loginSessions();

// Tells when the list of login sessions may have changed: a descriptor that
// becomes readable then. Invalid when there is no session manager.
class SessionMonitor {
  public:
    SessionMonitor();
    ~SessionMonitor();
    SessionMonitor(const SessionMonitor&) = delete;
    SessionMonitor& operator=(const SessionMonitor&) = delete;

    bool valid() const { return state_ != nullptr; }
    int descriptor() const;
    // Takes in what made the descriptor readable; list the sessions after.
    void flush();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace holm::platform
