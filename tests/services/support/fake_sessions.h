// A scripted set of login sessions, processes and accounts for the session
// manager and the process service.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "services/session_manager.h"

namespace holm::test {

class FakeSessions : public services::SessionSystem {
  public:
    struct ProcessFacts {
        std::string session;  // empty: none
        std::optional<uint32_t> uid;
        std::string image;
    };

    void addSession(platform::LoginSession session) { sessions[session.id] = session; }
    void addAccount(uint32_t uid) {
        platform::UserAccount account;
        account.uid = uid;
        account.gid = uid;
        account.name = "user" + std::to_string(uid);
        account.home = "/";
        account.shell = "/bin/sh";
        accounts[uid] = account;
    }
    void addProcess(uint32_t pid, std::string session, std::optional<uint32_t> uid,
                    std::string image) {
        processTable[pid] = {std::move(session), uid, std::move(image)};
    }

    std::optional<platform::LoginSession> activeSession() override {
        return active.empty() ? std::nullopt : session(active);
    }
    std::optional<platform::LoginSession> session(const std::string& id) override {
        auto found = sessions.find(id);
        return found == sessions.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::string> sessionOf(uint32_t pid) override {
        auto found = processTable.find(pid);
        if (found == processTable.end() || found->second.session.empty()) {
            return std::nullopt;
        }
        return found->second.session;
    }
    std::vector<uint32_t> processes() override {
        std::vector<uint32_t> ids;
        for (const auto& [pid, facts] : processTable) {
            ids.push_back(pid);
        }
        return ids;
    }
    std::optional<uint32_t> userOf(uint32_t pid) override {
        auto found = processTable.find(pid);
        return found == processTable.end() ? std::nullopt : found->second.uid;
    }
    std::optional<platform::ProcessOwner> ownerOf(uint32_t pid) override {
        auto found = processTable.find(pid);
        if (found == processTable.end() || !found->second.uid) {
            return std::nullopt;
        }
        ++ownerReads[pid];
        return platform::ProcessOwner{*found->second.uid, sessionOf(pid)};
    }
    std::string imageName(uint32_t pid) override {
        auto found = processTable.find(pid);
        return found == processTable.end() ? std::string() : found->second.image;
    }
    std::optional<platform::UserAccount> account(uint32_t uid) override {
        auto found = accounts.find(uid);
        return found == accounts.end() ? std::nullopt : std::optional(found->second);
    }

    std::string active;
    std::map<std::string, platform::LoginSession> sessions;
    std::map<uint32_t, ProcessFacts> processTable;
    std::map<uint32_t, platform::UserAccount> accounts;
    std::map<uint32_t, int> ownerReads;  // ownerOf calls per process
};

}  // namespace holm::test
