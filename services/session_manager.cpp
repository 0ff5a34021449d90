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
    std::lock_guard guard(lock_);
    return system_.activeSession();
}

bool SessionManager::isInteractiveUserProcess(uint32_t pid) {
    std::lock_guard guard(lock_);
    return interactiveLocked(pid);
}

bool SessionManager::interactiveLocked(uint32_t pid) {
    const auto id = system_.sessionOf(pid);
    if (!id) {
        return false;
    }
    const auto session = system_.session(*id);
    if (!session || session->sessionClass != "user" || session->remote) {
        return false;
    }
    const auto user = system_.userOf(pid);
    return user && *user == session->uid && system_.account(*user).has_value();
}

std::optional<uint32_t> SessionManager::userProcessFor(uint32_t pid) {
    std::lock_guard guard(lock_);
    if (interactiveLocked(pid)) {
        return pid;
    }
    const auto active = system_.activeSession();
    if (!active) {
        return std::nullopt;
    }
    for (uint32_t candidate : system_.processes()) {
        if (system_.sessionOf(candidate) == active->id && interactiveLocked(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<platform::UserAccount> SessionManager::accountOf(uint32_t pid) {
    std::lock_guard guard(lock_);
    const auto user = system_.userOf(pid);
    return user ? system_.account(*user) : std::nullopt;
}

std::optional<uint32_t> SessionManager::consoleUserProcess(std::u16string_view image) {
    std::lock_guard guard(lock_);
    const auto active = system_.activeSession();
    if (!active || image.empty()) {
        return std::nullopt;
    }
    const std::string wanted = foldedImage(text::utf16ToUtf8(image));
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
