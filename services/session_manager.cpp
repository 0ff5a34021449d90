#include "services/session_manager.h"

#include <algorithm>

#include "common/utf16.h"

namespace holm::services {

namespace {

// Image names are compared as the short names of a process list keep them.
constexpr size_t kImageNameLimit = 39;

std::string foldedImage(std::string name) {
    if (name.size() > kImageNameLimit) {
        name.resize(kImageNameLimit);
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return name;
}

}  // namespace

std::optional<platform::LoginSession> LogindSessions::activeSession() {
    return platform::activeSeatSession();
}
std::optional<platform::LoginSession> LogindSessions::session(const std::string& id) {
    return platform::loginSession(id);
}
std::optional<std::string> LogindSessions::sessionOf(uint32_t pid) {
    return platform::sessionOfProcess(pid);
}
std::vector<uint32_t> LogindSessions::processes() {
    return platform::runningProcessIds();
}
std::optional<uint32_t> LogindSessions::userOf(uint32_t pid) {
    return platform::processUserId(pid);
}
std::optional<platform::ProcessOwner> LogindSessions::ownerOf(uint32_t pid) {
    return platform::processOwner(pid);
}
std::string LogindSessions::imageName(uint32_t pid) {
    return platform::processImageName(pid);
}
std::optional<platform::UserAccount> LogindSessions::account(uint32_t uid) {
    return platform::userAccount(uid);
}

SessionManager& SessionManager::process() {
    static LogindSessions system;
    static SessionManager manager(system);
    return manager;
}

std::optional<platform::LoginSession> SessionManager::activeSession() {
    common::RecursiveLock guard(lock_);
    return system_.activeSession();
}

bool SessionManager::isInteractiveUserProcess(uint32_t pid) {
    common::RecursiveLock guard(lock_);
    return examineLocked(pid).has_value();
}

std::optional<UserProcess> SessionManager::examineLocked(uint32_t pid) {
    const auto owner = system_.ownerOf(pid);
    if (!owner || !owner->session) {
        return std::nullopt;
    }
    auto session = system_.session(*owner->session);
    if (!session || session->sessionClass != "user" || session->remote ||
        session->uid != owner->uid) {
        return std::nullopt;
    }
    auto account = system_.account(owner->uid);
    if (!account) {
        return std::nullopt;
    }
    return UserProcess{pid, std::move(*session), std::move(*account)};
}

std::optional<UserProcess> SessionManager::userProcessFor(uint32_t pid) {
    common::RecursiveLock guard(lock_);
    if (auto given = examineLocked(pid)) {
        return given;
    }
    const auto active = system_.activeSession();
    if (!active) {
        return std::nullopt;
    }
    for (uint32_t candidate : system_.processes()) {
        if (system_.sessionOf(candidate) != active->id) {
            continue;
        }
        // Examined again as a whole: the session test above was a quick filter.
        auto examined = examineLocked(candidate);
        if (examined && examined->session.id == active->id) {
            return examined;
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> SessionManager::consoleUserProcess(std::u16string_view image) {
    common::RecursiveLock guard(lock_);
    const auto active = system_.activeSession();
    if (!active || image.empty()) {
        return std::nullopt;
    }
    const std::string wanted = foldedImage(common::utf16ToUtf8(image));
    std::vector<uint32_t> processes = system_.processes();
    for (auto pid = processes.rbegin(); pid != processes.rend(); ++pid) {
        if (foldedImage(system_.imageName(*pid)).find(wanted) == std::string::npos) {
            continue;
        }
        const auto user = system_.userOf(*pid);
        if (!user) {
            return std::nullopt;  // the process went or cannot be read: the search ends
        }
        if (*user == active->uid) {
            return *pid;
        }
    }
    return std::nullopt;
}

}  // namespace holm::services
