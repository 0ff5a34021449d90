#include "services/process_impl.h"

#include <chrono>

#include "common/utf16.h"
#include "platform/command_line.h"
#include "platform/file_system.h"
#include "platform/process_info.h"

namespace holm::services {

namespace {

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

}  // namespace

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

std::optional<platform::Process> CProcessImpl::start(const char16_t* commandLine,
                                                     const platform::SpawnOptions& options) {
    if (commandLine == nullptr) {
        return std::nullopt;
    }
    std::vector<std::u16string> parts =
        platform::splitCommandLine(std::u16string_view(commandLine));
    if (parts.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> argv;
    argv.reserve(parts.size());
    for (const auto& part : parts) {
        argv.push_back(common::utf16ToUtf8(part));
    }
    argv[0] = platform::findProgram(argv[0]);
    if (argv[0].empty()) {
        return std::nullopt;
    }
    // Only the program is resolved; its arguments reach a Windows program
    // as the caller wrote them.
    platform::SpawnOptions spawnOptions = options;
    spawnOptions.argumentText =
        common::utf16ToUtf8(platform::commandLineArgumentText(std::u16string_view(commandLine)));
    auto process = platform::Process::spawn(argv, spawnOptions);
    if (!process) {
        return std::nullopt;
    }
    return std::move(*process);
}

// A plain run keeps nothing of its process: without wait both handles are
// closed at once (the child is reaped in the background when it ends); with
// wait the call waits for the end whatever the service does, so that a
// plugin's clean-up command in its stop still runs to its end (the host's
// stop limit bounds a stop that hangs).
bool CProcessImpl::run(const char16_t* commandLine, bool wait) {
    clearResults();
    platform::SpawnOptions options;
    options.outlivesOwner = !wait;  // a process let go may outlive the service
    auto process = start(commandLine, options);
    if (!process) {
        return false;
    }
    if (!wait) {
        process->detach();
        return true;
    }
    const auto ended = process->wait(platform::io::kNoDeadline);
    if (!ended || *ended != platform::Process::Wait::Exited || !process->exitStatus()) {
        return false;  // the wait itself failed: the process goes to the reaper
    }
    exitCode_ = static_cast<uint32_t>(process->exitStatus()->shellCode());
    return true;
}

// The chosen process's user, in the chosen process's session: its account
// and session were read once, from that process. Where the system starts a
// user from a logon (Windows), the logon is that process's, checked once
// more to be that user's (SpawnIdentity::process).
bool CProcessImpl::runAsUserOfProcess(uint32_t processId, const char16_t* commandLine, bool wait) {
    clearResults();
    const auto chosen = sessions_.userProcessFor(processId);
    if (!chosen) {
        return false;
    }
    const platform::UserAccount& account = chosen->account;
    auto environment = platform::loginEnvironment(chosen->pid, account);
    if (!environment) {
        return false;  // the process went, or its user's environment cannot be read
    }
    platform::SpawnOptions options;
    options.newSession = true;
    options.outlivesOwner = !wait;
    options.session = chosen->session;
    options.clearEnvironment = true;
    options.environment = std::move(*environment);
    options.workingDirectory = account.home;
    const uint32_t self = platform::effectiveUserId();
    if (self == 0) {
        options.identity =
            platform::SpawnIdentity{account.uid, account.gid, account.groups, chosen->pid};
    } else if (self != account.uid) {
        return false;  // no privilege to become another user
    }
    auto process = start(commandLine, options);
    return process && finish(std::move(*process), wait, false);
}

// The service's own identity in the active session (as far as the system
// lets a process join one after the login: see SpawnOptions::session); the
// child starts a session of its own.
bool CProcessImpl::runInActiveSession(const char16_t* commandLine, bool wait) {
    clearResults();
    const auto session = sessions_.activeSession();
    if (!session) {
        return false;
    }
    platform::SpawnOptions options;
    options.newSession = true;
    options.outlivesOwner = !wait;
    options.session = *session;
    auto process = start(commandLine, options);
    return process && finish(std::move(*process), wait, true);
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

bool CProcessImpl::finish(platform::Process process, bool wait, bool keepId) {
    if (!wait) {
        handle_ = shareOf(process);
        if (keepId) {
            processId_ = static_cast<uint32_t>(process.id());
        }
        process.detach();  // reaped in the background when it ends
        return true;
    }
    auto ended = process.wait(platform::io::kNoDeadline, stopEvent_.get());
    if (ended && *ended == platform::Process::Wait::Exited && process.exitStatus()) {
        exitCode_ = static_cast<uint32_t>(process.exitStatus()->shellCode());
        return true;
    }
    // The service stops (or the wait failed): the process is ended for good,
    // whatever it does with a termination request. A failure keeps the exit
    // code at 0.
    process.kill();
    (void)process.wait(platform::io::deadlineIn(kKilledProcessGrace));  // else the reaper has it
    return false;
}

}  // namespace holm::services
