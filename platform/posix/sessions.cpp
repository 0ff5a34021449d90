#include "platform/sessions.h"
#include "common/path_parts.h"
#include "platform/io.h"
#include "platform/posix/directory_stream.h"
#include "platform/posix/proc_file.h"
#include "platform/unique_handle.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <string>

namespace holm::platform {

namespace {

// Text that sd-login hands over and the caller frees.
struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using OwnedText = std::unique_ptr<char, FreeText>;

std::string takeText(char* text) {
    OwnedText owned(text);
    return owned ? std::string(owned.get()) : std::string();
}

std::optional<uint32_t> parseNumber(std::string_view text) {
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

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
    const int result = sd_login_monitor_new("session", &state->monitor);
    if (result >= 0) {
        state_ = std::move(state);
    } else {
        failure_ = -result;
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

std::optional<LoginSession> loginSession(const std::string& id) {
    LoginSession session;
    uid_t uid = 0;
    if (sd_session_get_uid(id.c_str(), &uid) < 0) {
        return std::nullopt;
    }
    session.id = id;
    session.uid = static_cast<uint32_t>(uid);
    char* text = nullptr;
    if (sd_session_get_class(id.c_str(), &text) >= 0) {
        session.sessionClass = takeText(text);
    }
    text = nullptr;
    if (sd_session_get_display(id.c_str(), &text) >= 0) {
        session.display = takeText(text);
    }
    session.remote = sd_session_is_remote(id.c_str()) > 0;
    return session;
}

std::optional<LoginSession> activeSeatSession() {
    char* id = nullptr;
    if (sd_seat_get_active("seat0", &id, nullptr) < 0 || id == nullptr) {
        return std::nullopt;
    }
    return loginSession(takeText(id));
}

std::optional<std::string> sessionOfProcess(uint32_t pid) {
    char* id = nullptr;
    if (pid == 0 || sd_pid_get_session(static_cast<pid_t>(pid), &id) < 0 || id == nullptr) {
        return std::nullopt;
    }
    return takeText(id);
}

std::optional<ProcessOwner> processOwner(uint32_t pid) {
    if (pid == 0) {
        return std::nullopt;
    }
    const UniqueFd pinned(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
    if (!pinned) {
        return std::nullopt;
    }
    ProcessOwner owner;
    const auto uid = processUserId(pid);
    owner.session = sessionOfProcess(pid);
    // Still alive (a zombie included) after the reads: the id was not given
    // to another process meanwhile, so what was read is this process's.
    if (!uid || ::syscall(SYS_pidfd_send_signal, pinned.get(), 0, nullptr, 0) != 0) {
        return std::nullopt;
    }
    owner.uid = *uid;
    return owner;
}

std::vector<uint32_t> runningProcessIds() {
    std::vector<uint32_t> ids;
    const UniqueDir directory =
        streamOver(io::open("/proc", {.directory = true, .followLink = true}).valueOr({}));
    if (!directory) {
        return ids;
    }
    while (const dirent* entry = ::readdir(directory.get())) {
        if (auto pid = parseNumber(entry->d_name)) {
            ids.push_back(*pid);
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// The first number of the "Uid:" line of the process's status: its real uid.
std::optional<uint32_t> processUserId(uint32_t pid) {
    const std::string status = readWholeFile(("/proc/" + std::to_string(pid) + "/status").c_str());
    const size_t line = status.find("\nUid:");
    if (line == std::string::npos) {
        return std::nullopt;
    }
    size_t begin = status.find_first_not_of(" \t", line + 5);
    size_t end = status.find_first_of(" \t\n", begin);
    if (begin == std::string::npos || end == std::string::npos) {
        return std::nullopt;
    }
    return parseNumber(std::string_view(status).substr(begin, end - begin));
}

std::string processImageName(uint32_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    char target[4096];
    const ssize_t length = ::readlink((base + "/exe").c_str(), target, sizeof target);
    if (length > 0 && static_cast<size_t>(length) < sizeof target) {
        std::string path(target, static_cast<size_t>(length));
        return std::string(common::fileNameOf(path));
    }
    std::string name = readWholeFile((base + "/comm").c_str());
    while (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

std::u16string desktopShellImage() {
    return u"gnome-session";
}

std::optional<UserAccount> userAccount(uint32_t uid) {
    long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(bufferSize > 0 ? static_cast<size_t>(bufferSize) : 16384, '\0');
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    UserAccount account;
    account.uid = uid;
    account.gid = static_cast<uint32_t>(entry.pw_gid);
    account.name = entry.pw_name != nullptr ? entry.pw_name : "";
    account.home = entry.pw_dir != nullptr ? entry.pw_dir : "/";
    account.shell = entry.pw_shell != nullptr ? entry.pw_shell : "/bin/sh";
    std::vector<gid_t> groups(32);
    int count = static_cast<int>(groups.size());
    while (::getgrouplist(account.name.c_str(), entry.pw_gid, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size())) {
            return std::nullopt;  // no progress possible
        }
        groups.resize(static_cast<size_t>(count));
    }
    account.groups.assign(groups.begin(), groups.begin() + count);
    return account;
}

// A login's environment as the account describes it; the process plays no
// part where a child's ids are set rather than taken from a logon.
Result<std::vector<std::string>> loginEnvironment(uint32_t, const UserAccount& account) {
    return std::vector<std::string>{
        "HOME=" + account.home,
        "USER=" + account.name,
        "LOGNAME=" + account.name,
        "SHELL=" + account.shell,
        "PATH=/usr/local/bin:/usr/bin:/bin",
        "XDG_RUNTIME_DIR=/run/user/" + std::to_string(account.uid),
    };
}

}  // namespace holm::platform
