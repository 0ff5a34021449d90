// Login sessions, as the system's session manager (logind) knows them, and
// the processes and user accounts the process service looks at.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/result.h"

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
// becomes readable then. Invalid when there is no session manager, or when a
// kernel limit refuses what it watches with.
class SessionMonitor {
  public:
    SessionMonitor();
    ~SessionMonitor();
    SessionMonitor(const SessionMonitor&) = delete;
    SessionMonitor& operator=(const SessionMonitor&) = delete;

    bool valid() const { return state_ != nullptr; }
    // Why the monitor could not be made (an errno value: ENOENT without a
    // session manager, EMFILE or ENOSPC for a kernel limit); 0 when valid.
    int failure() const { return failure_; }
    int descriptor() const;
    // Takes in what made the descriptor readable; list the sessions after.
    void flush();

  private:
    struct State;
    std::unique_ptr<State> state_;
    int failure_ = 0;
};

struct LoginSession {
    std::string id;            // logind's session name, e.g. "3" or "c1"
    uint32_t uid = 0;          // the user logged on
    std::string sessionClass;  // "user", "greeter", "lock-screen", "background", ...
    bool remote = false;       // a session from another machine (ssh, ...)
    std::string display;       // the X11 display of a graphical session, or empty
};

// The session logind reports as active on the local console's seat
// ("seat0"); nullopt when the seat has none, or without logind.
std::optional<LoginSession> activeSeatSession();

// What logind reports of session `id`; nullopt when it does not know it.
std::optional<LoginSession> loginSession(const std::string& id);

// The login session process `pid` belongs to; nullopt when none (a system
// service) or when the process is gone.
std::optional<std::string> sessionOfProcess(uint32_t pid);

// Who process `pid` runs as and the login session it belongs to.
struct ProcessOwner {
    uint32_t uid = 0;                    // the real user id
    std::optional<std::string> session;  // nullopt: none (a system service)
};

// The owner of process `pid`, read while a process descriptor pins it: both
// facts belong to that one process, never to a later one that took its id
// in between. nullopt when the process is gone or cannot be read.
std::optional<ProcessOwner> processOwner(uint32_t pid);

// The ids of the processes running now, in ascending order.
std::vector<uint32_t> runningProcessIds();

// The real user id of process `pid`; nullopt when it is gone.
std::optional<uint32_t> processUserId(uint32_t pid);

// The file name of process `pid`'s program (the last part of its path), or
// the kernel's short name of the process when the path cannot be read.
std::string processImageName(uint32_t pid);

struct UserAccount {
    uint32_t uid = 0;
    uint32_t gid = 0;  // the primary group
    std::string name;
    std::string home;
    std::string shell;
    std::vector<uint32_t> groups;  // every group the user is a member of
};

// The program that holds a user's desktop session together, as the process
// list names it: a part of the name runAsConsoleUser searches by default
// (Linux: "gnome-session"; Windows: "explorer.exe", the user's shell).
std::u16string desktopShellImage();

// The account of user `uid`; nullopt when the system knows no such user.
std::optional<UserAccount> userAccount(uint32_t uid);

// The fresh environment a login of `account` gives, for a program started as
// the user of process `pid` (SpawnIdentity::process), as "NAME=VALUE"
// entries. Linux builds it from the account: HOME, USER, LOGNAME, SHELL, a
// system PATH and XDG_RUNTIME_DIR (`pid` is not looked at). Windows has the
// system build it from the user's profile, through the logon of `pid`,
// which must still run as `account` (ESRCH when it has ended or runs as
// another user; the system's error when its logon cannot be read). The
// session's own variables come with SpawnOptions::session.
Result<std::vector<std::string>> loginEnvironment(uint32_t pid, const UserAccount& account);

}  // namespace holm::platform
