#include "platform/sessions.h"

#include <cerrno>

namespace holm::platform {

// Login sessions, process owners and accounts are not provided by this
// backend yet (see unsupported.h): every question is answered "unknown",
// which the session manager treats as "no session manager".
std::optional<uint32_t> sessionOwner(uint32_t) {
    return std::nullopt;
}

std::optional<std::set<uint32_t>> loginSessions() {
    return std::nullopt;
}

struct SessionMonitor::State {};

SessionMonitor::SessionMonitor() : failure_(ENOENT) {}

SessionMonitor::~SessionMonitor() = default;

int SessionMonitor::descriptor() const {
    return -1;
}

void SessionMonitor::flush() {}

std::optional<LoginSession> activeSeatSession() {
    return std::nullopt;
}

std::optional<LoginSession> loginSession(const std::string&) {
    return std::nullopt;
}

std::optional<std::string> sessionOfProcess(uint32_t) {
    return std::nullopt;
}

std::optional<ProcessOwner> processOwner(uint32_t) {
    return std::nullopt;
}

std::vector<uint32_t> runningProcessIds() {
    return {};
}

std::optional<uint32_t> processUserId(uint32_t) {
    return std::nullopt;
}

std::string processImageName(uint32_t) {
    return {};
}

std::optional<UserAccount> userAccount(uint32_t) {
    return std::nullopt;
}

}  // namespace holm::platform
