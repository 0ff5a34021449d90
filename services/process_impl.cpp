#include "services/process_impl.h"

#include <chrono>

#include "common/utf16.h"
#include "platform/command_line.h"
#include "platform/file_system.h"
#include "platform/process_info.h"

namespace holm::services {

namespace {

// Where bare program names are looked up: the system's own directories.
constexpr const char* kProgramDirectories[] = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                               "/usr/bin",        "/sbin",          "/bin"};
constexpr const char* kUserPath = "PATH=/usr/local/bin:/usr/bin:/bin";
// A killed process is normally gone at once; one stuck in the kernel is left
// to the background reaper after this long rather than holding the caller.
constexpr auto kKilledProcessGrace = std::chrono::seconds(5);

// A share of `process`'s descriptor for the plugin: a duplicate, so that the
// handle stays valid whoever reaps the process.
HlmPlg::ProcessHandle shareOf(const platform::Process& process) {
    auto duplicate = process.shareDescriptor();
    if (!duplicate) {
        return {};
    }
    struct Holder {
        platform::UniqueFd fd;
        int value;
    };
    auto holder = std::make_shared<Holder>();
    holder->value = duplicate->get();
    holder->fd = std::move(*duplicate);
    return HlmPlg::ProcessHandle(std::shared_ptr<const int>(holder, &holder->value));
}

// A fresh environment for `account` in `session`, as a login would give it.
std::vector<std::string> userEnvironment(const platform::UserAccount& account,
                                         const platform::LoginSession& session) {
    std::vector<std::string> environment = {
        "HOME=" + account.home,
        "USER=" + account.name,
        "LOGNAME=" + account.name,
        "SHELL=" + account.shell,
        kUserPath,
        "XDG_RUNTIME_DIR=/run/user/" + std::to_string(account.uid),
        "XDG_SESSION_ID=" + session.id,
    };
    if (!session.display.empty()) {
        environment.push_back("DISPLAY=" + session.display);
    }
    return environment;
}

}  // namespace

std::string findProgram(const std::string& name) {
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        return name;
    }
    for (const char* directory : kProgramDirectories) {
        std::string path = std::string(directory) + "/" + name;
        if (platform::isRegularFile(path)) {
            return path;
        }
    }
    return {};
}

CProcessImpl::CProcessImpl(ServiceHandlerLinks links, SessionManager& sessions,
                           std::u16string consoleImage)
    : links_(std::move(links)),
      sessions_(sessions),
      consoleImage_(std::move(consoleImage)),
      stopEvent_(Tandro::Utilities::EventAccessControl::CreateLocalEvent(true, false)) {
    if (links_.add) {
        links_.add(this);
    }
}

CProcessImpl::~CProcessImpl() {
    if (links_.remove) {
        links_.remove(this);
    }
}

void CProcessImpl::clearResults() {
    exitCode_ = 0;
    processId_ = 0;
    handle_.reset();
}

bool CProcessImpl::start(const char16_t* commandLine, platform::SpawnOptions options, bool wait) {
    clearResults();
    if (commandLine == nullptr) {
        return false;
    }
    std::vector<std::u16string> parts =
        platform::splitCommandLine(std::u16string_view(commandLine));
    if (parts.empty()) {
        return false;
    }
    std::vector<std::string> argv;
    argv.reserve(parts.size());
    for (const auto& part : parts) {
        argv.push_back(text::utf16ToUtf8(part));
    }
    argv[0] = findProgram(argv[0]);
    if (argv[0].empty()) {
        return false;
    }
    auto process = platform::Process::spawn(argv, options);
    if (!process) {
        return false;
    }
    return finish(std::move(*process), wait);
}

bool CProcessImpl::run(const char16_t* commandLine, bool wait) {
    return start(commandLine, {}, wait);
}

bool CProcessImpl::runAsUserOfProcess(uint32_t processId, const char16_t* commandLine, bool wait) {
    clearResults();
    const auto chosen = sessions_.userProcessFor(processId);
    const auto session = sessions_.activeSession();
    if (!chosen || !session) {
        return false;
    }
    const auto account = sessions_.accountOf(*chosen);
    if (!account) {
        return false;
    }
    platform::SpawnOptions options;
    options.newSession = true;
    options.clearEnvironment = true;
    options.environment = userEnvironment(*account, *session);
    options.workingDirectory = account->home;
    const uint32_t self = platform::effectiveUserId();
    if (self == 0) {
        options.identity = platform::SpawnIdentity{account->uid, account->gid, account->groups};
    } else if (self != account->uid) {
        return false;  // no privilege to become another user
    }
    return start(commandLine, std::move(options), wait);
}

// The service's own identity, with what a program needs to reach the
// session: its id and display. A process cannot be moved into a login
// session after the login; the child starts a session of its own.
bool CProcessImpl::runInActiveSession(const char16_t* commandLine, bool wait) {
    clearResults();
    const auto session = sessions_.activeSession();
    if (!session) {
        return false;
    }
    platform::SpawnOptions options;
    options.newSession = true;
    options.environment.push_back("XDG_SESSION_ID=" + session->id);
    if (!session->display.empty()) {
        options.environment.push_back("DISPLAY=" + session->display);
    }
    return start(commandLine, std::move(options), wait);
}

bool CProcessImpl::runAsConsoleUser(const char16_t* commandLine, bool wait) {
    const uint32_t shell = sessions_.consoleUserProcess(consoleImage_).value_or(0);
    return runAsUserOfProcess(shell, commandLine, wait);
}

HlmPlg::ProcessHandle CProcessImpl::takeProcessHandle() {
    HlmPlg::ProcessHandle taken = std::move(handle_);
    handle_.reset();
    return taken;
}

void CProcessImpl::onStopping() {
    (void)Tandro::Utilities::EventAccessControl::SetEvent(stopEvent_);  // nothing to do if it fails
}

bool CProcessImpl::finish(platform::Process process, bool wait) {
    if (!wait) {
        handle_ = shareOf(process);
        processId_ = static_cast<uint32_t>(process.id());
        process.detach();  // reaped in the background when it ends
        return true;
    }
    auto ended = process.wait(platform::io::kNoDeadline, stopEvent_.get());
    if (ended && *ended == platform::Process::Wait::Exited && process.exitStatus()) {
        exitCode_ = static_cast<uint32_t>(process.exitStatus()->shellCode());
        return true;
    }
    // The service stops (or the wait failed): the process is ended for good,
    // whatever it does with a termination request.
    process.kill();
    (void)process.wait(platform::io::deadlineIn(kKilledProcessGrace));  // else the reaper has it
    exitCode_ = kStoppedExitCode;
    return false;
}

}  // namespace holm::services
