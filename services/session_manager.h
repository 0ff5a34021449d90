// The session questions of the process service, answered from the system's
// login sessions (logind): the active session, which processes are an
// interactive user's, and the console user's shell process.
//
// What counts as an "interactive user process": a process that belongs to a
// logind session of class "user" (a person's login, not a greeter, lock
// screen or background session), that session is local (not remote), the
// process runs with the real user id of the session's user, and the system
// knows that user's account. This stands for membership in the local,
// interactive and logon-session groups together with an account of type
// user.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "platform/sessions.h"

namespace holm::services {

// The system facts the session manager reads; tests give a scripted one.
class SessionSystem {
  public:
    virtual ~SessionSystem() = default;
    virtual std::optional<platform::LoginSession> activeSession() = 0;
    virtual std::optional<platform::LoginSession> session(const std::string& id) = 0;
    virtual std::optional<std::string> sessionOf(uint32_t pid) = 0;
    virtual std::vector<uint32_t> processes() = 0;
    virtual std::optional<uint32_t> userOf(uint32_t pid) = 0;
    // The user and session of `pid` read together, from that one process.
    virtual std::optional<platform::ProcessOwner> ownerOf(uint32_t pid) = 0;
    virtual std::string imageName(uint32_t pid) = 0;
    virtual std::optional<platform::UserAccount> account(uint32_t uid) = 0;
};

// SessionSystem over logind, /proc and the user database.
class LogindSessions : public SessionSystem {
  public:
    std::optional<platform::LoginSession> activeSession() override;
    std::optional<platform::LoginSession> session(const std::string& id) override;
    std::optional<std::string> sessionOf(uint32_t pid) override;
    std::vector<uint32_t> processes() override;
    std::optional<uint32_t> userOf(uint32_t pid) override;
    std::optional<platform::ProcessOwner> ownerOf(uint32_t pid) override;
    std::string imageName(uint32_t pid) override;
    std::optional<platform::UserAccount> account(uint32_t uid) override;
};

// The image name runAsConsoleUser searches by default: the program that
// holds a graphical login together (platform::desktopShellImage). A product
// sets the name of the session program its desktops run (e.g.
// "plasmashell", "xfce4-session").
inline std::u16string defaultConsoleImage() {
    return platform::desktopShellImage();
}

// An interactive user process as it was examined: its session and its
// user's account, each read once.
struct UserProcess {
    uint32_t pid = 0;
    platform::LoginSession session;
    platform::UserAccount account;
};

// One per process by default; its work is serialised by one lock.
class SessionManager {
  public:
    explicit SessionManager(SessionSystem& system) : system_(system) {}

    // The manager over logind shared by all process objects.
    static SessionManager& process();

    std::optional<platform::LoginSession> activeSession();

    // See the header comment.
    bool isInteractiveUserProcess(uint32_t pid);

    // `pid` when it is an interactive user process (whether or not any
    // session is active), else the first interactive user process of the
    // active session; nothing without one. The process's user is read once,
    // together with its session, so the account and session returned belong
    // to the process examined even if its id is reused afterwards.
    std::optional<UserProcess> userProcessFor(uint32_t pid);

    // The process, examined from the highest id down, whose image name
    // contains `image` (A-Z folded, both cut to 39 characters) and whose
    // user is the active session's user. Nothing without an active session
    // or a match; the search also ends with nothing when the user of a
    // matching process cannot be read.
    std::optional<uint32_t> consoleUserProcess(std::u16string_view image);

  private:
    std::optional<UserProcess> examineLocked(uint32_t pid) REQUIRES(lock_);

    common::RecursiveMutex lock_;
    SessionSystem& system_ GUARDED_BY(lock_);
};

}  // namespace holm::services
