#include "services/session_manager.h"

#include <gtest/gtest.h>

#include <map>

#include "services/support/fake_sessions.h"

namespace {

using holm::services::SessionManager;
using holm::test::FakeSessions;

// A desktop login "2" of uid 1000 on the console, a remote login "5" of the
// same user, a greeter "c1", and system processes outside any session.
FakeSessions desktop() {
    FakeSessions system;
    system.addSession({"2", 1000, "user", false, ":0"});
    system.addSession({"5", 1000, "user", true, ""});
    system.addSession({"c1", 110, "greeter", false, ":1"});
    system.active = "2";
    system.addAccount(1000);
    system.addAccount(110);
    system.addProcess(1, "", 0, "systemd");
    system.addProcess(400, "c1", 110, "gdm-greeter");
    system.addProcess(900, "2", 0, "sudo");  // a root process inside the session
    system.addProcess(1001, "2", 1000, "gnome-session-binary");
    system.addProcess(1002, "2", 1000, "bash");
    system.addProcess(1500, "5", 1000, "sshd-shell");
    return system;
}

// The counterpart of the local / interactive / logon-session groups: a
// person's local login, the process running as that person.
TEST(SessionManager, InteractiveUserProcessIsTheSessionUsersOwnInALocalUserSession) {
    FakeSessions system = desktop();
    system.addProcess(1003, "2", 2000, "other-user");  // no account known for 2000
    SessionManager sessions(system);
    EXPECT_TRUE(sessions.isInteractiveUserProcess(1001));
    EXPECT_TRUE(sessions.isInteractiveUserProcess(1002));
    EXPECT_FALSE(sessions.isInteractiveUserProcess(1));     // no session
    EXPECT_FALSE(sessions.isInteractiveUserProcess(400));   // a greeter
    EXPECT_FALSE(sessions.isInteractiveUserProcess(900));   // another user than the session's
    EXPECT_FALSE(sessions.isInteractiveUserProcess(1500));  // remote
    EXPECT_FALSE(sessions.isInteractiveUserProcess(1003));
    EXPECT_FALSE(sessions.isInteractiveUserProcess(77));  // no such process
}

// The process chosen, or nothing.
std::optional<uint32_t> chosen(SessionManager& sessions, uint32_t pid) {
    const auto process = sessions.userProcessFor(pid);
    return process ? std::optional(process->pid) : std::nullopt;
}

TEST(SessionManager, UserProcessFallsBackToTheFirstOfTheActiveSession) {
    FakeSessions system = desktop();
    SessionManager sessions(system);
    EXPECT_EQ(chosen(sessions, 1002), 1002u);
    EXPECT_EQ(chosen(sessions, 1), 1001u);
    EXPECT_EQ(chosen(sessions, 0), 1001u);

    system.active.clear();
    EXPECT_EQ(chosen(sessions, 1), std::nullopt);
    EXPECT_EQ(chosen(sessions, 1002), 1002u);  // still interactive without a console
}

// The account and session come from the chosen process itself, its owner
// read once: a process in the remote session of the same user keeps that
// session even though another one is active.
TEST(SessionManager, ChosenProcessCarriesItsOwnSessionAndAccount) {
    FakeSessions system = desktop();
    system.addSession({"6", 1000, "user", false, ":6"});
    system.addProcess(1600, "6", 1000, "bash");
    SessionManager sessions(system);
    const auto process = sessions.userProcessFor(1600);
    ASSERT_TRUE(process);
    EXPECT_EQ(process->session.id, "6");
    EXPECT_EQ(process->session.display, ":6");
    EXPECT_EQ(process->account.uid, 1000u);
    EXPECT_EQ(system.ownerReads[1600], 1);

    const auto fallback = sessions.userProcessFor(1);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->session.id, "2");
    EXPECT_EQ(fallback->session.display, ":0");
}

// Searched from the newest process down, by a folded part of the image
// name, for the active session's user.
TEST(SessionManager, ConsoleUserProcessSearchesImagesFromTheNewestDown) {
    FakeSessions system = desktop();
    system.addProcess(3000, "", 0, "GNOME-SESSION-check");  // root's: skipped
    system.addProcess(2500, "2", 1000, "gnome-session-binary");
    SessionManager sessions(system);
    EXPECT_EQ(sessions.consoleUserProcess(u"Gnome-Session"), 2500u);
    EXPECT_EQ(sessions.consoleUserProcess(u"bash"), 1002u);
    EXPECT_EQ(sessions.consoleUserProcess(u"explorer.exe"), std::nullopt);
    EXPECT_EQ(sessions.consoleUserProcess(u""), std::nullopt);

    // Names are compared cut to 39 characters.
    system.addProcess(2600, "2", 1000, std::string(39, 'x') + "tail");
    EXPECT_EQ(sessions.consoleUserProcess(u"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxtail"), 2600u);

    // A matching process whose user cannot be read ends the search.
    system.addProcess(2700, "2", std::nullopt, "gnome-session-binary");
    EXPECT_EQ(sessions.consoleUserProcess(u"gnome-session"), std::nullopt);

    system.active.clear();
    EXPECT_EQ(sessions.consoleUserProcess(u"bash"), std::nullopt);
}

}  // namespace
