#include "platform/sessions.h"

#include <systemd/sd-login.h>

#include <cstdlib>
#include <string>

namespace holm::platform {

std::optional<uint32_t> sessionOwner(uint32_t sessionId) {
    uid_t uid = 0;
    if (sd_session_get_uid(std::to_string(sessionId).c_str(), &uid) < 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(uid);
}

namespace {

std::optional<uint32_t> sessionNumber(const char* name) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(name, &end, 10);
    if (end == name || *end != '\0' || number > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(number);
}

}  // namespace

std::optional<std::set<uint32_t>> loginSessions() {
    char** names = nullptr;
    const int count = sd_get_sessions(&names);
    if (count < 0) {
        return std::nullopt;
    }
    std::set<uint32_t> sessions;
    for (int i = 0; i < count; ++i) {
        if (const auto number = sessionNumber(names[i])) {
            sessions.insert(*number);
        }
        std::free(names[i]);
    }
    std::free(names);
    return sessions;
}

struct SessionMonitor::State {
    sd_login_monitor* monitor = nullptr;
    ~State() { sd_login_monitor_unref(monitor); }
};

SessionMonitor::SessionMonitor() {
    auto state = std::make_unique<State>();
    if (sd_login_monitor_new("session", &state->monitor) >= 0) {
        state_ = std::move(state);
    }
}

SessionMonitor::~SessionMonitor() = default;

int SessionMonitor::descriptor() const {
    return state_ ? sd_login_monitor_get_fd(state_->monitor) : -1;
}

void SessionMonitor::flush() {
    if (state_) {
        (void)sd_login_monitor_flush(state_->monitor);  // a failure only means a later wake
    }
}

}  // namespace holm::platform
