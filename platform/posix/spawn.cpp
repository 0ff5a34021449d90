#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/io.h"

extern char** environ;

namespace holm::platform {

namespace {

using Clock = std::chrono::steady_clock;

std::string variableName(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// The parent's environment with `overrides` replacing entries of the same name.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string name = variableName(*entry);
        bool replaced = false;
        for (const auto& override : overrides) {
            replaced = replaced || variableName(override) == name;
        }
        if (!replaced) {
            merged.emplace_back(*entry);
        }
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// Spawn attributes that give the child default dispositions for the signals
// a host blocks, and an empty mask, whatever the parent has blocked.
class SpawnAttributes {
  public:
    SpawnAttributes() {
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGHUP);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

// File actions that point the child's standard output and error at `fd`.
class OutputRedirection {
  public:
    explicit OutputRedirection(int fd) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawn_file_actions_adddup2(&actions_, fd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions_, fd, STDERR_FILENO);
    }
    ~OutputRedirection() { posix_spawn_file_actions_destroy(&actions_); }
    OutputRedirection(const OutputRedirection&) = delete;
    OutputRedirection& operator=(const OutputRedirection&) = delete;
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int signalNumber(ChildSignal signal) {
    switch (signal) {
        case ChildSignal::Interrupt:
            return SIGINT;
        case ChildSignal::Hangup:
            return SIGHUP;
        default:
            return SIGTERM;
    }
}

}  // namespace

void ProcessTraits::close(int pid) noexcept {
    kill(pid, SIGKILL);
    (void)io::reapChild(pid);  // nothing is left to do if it was reaped already
}

Result<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& environment) {
    if (argv.empty()) {
        return Error::fromErrno(EINVAL);
    }
    ChildProcess child;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return lastSystemError();
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    std::vector<std::string> arguments = argv;
    std::vector<std::string> variables = mergedEnvironment(environment);
    SpawnAttributes attributes;
    OutputRedirection redirection(writeEnd.get());
    pid_t pid;
    const int result = posix_spawn(&pid, arguments[0].c_str(), redirection.get(), attributes.get(),
                                   pointers(arguments).data(), pointers(variables).data());
    if (result != 0) {
        return Error::fromErrno(result);
    }
    child.process_.reset(pid);
    // A descriptor that becomes readable when the child ends, so that its
    // end can be awaited with a deadline. Not yet reaped, the child cannot
    // have been replaced by another process of that id.
    child.exitFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!child.exitFd_) {
        return lastSystemError();  // the handle kills and reaps the child
    }
    child.outputFd_ = std::move(readEnd);
    return child;
}

bool ChildProcess::readSome(Clock::time_point deadline) {
    if (!outputFd_.valid() || !io::waitReadable(outputFd_.get(), deadline).valueOr(false)) {
        return false;
    }
    uint8_t buffer[4096];
    const auto count = io::readSome(outputFd_.get(), buffer);
    if (!count || *count == 0) {
        outputFd_.reset();  // the end of the output (or a pipe that broke)
        return false;
    }
    output_.append(reinterpret_cast<const char*>(buffer), *count);
    return true;
}

bool ChildProcess::waitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
        if (!readSome(deadline)) {
            return output_.find(text) != std::string::npos;
        }
    }
    return true;
}

bool ChildProcess::sendSignal(ChildSignal signal) {
    return process_.valid() && kill(process_.get(), signalNumber(signal)) == 0;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = io::deadlineIn(timeout);
    while (readSome(deadline)) {
    }
    // The output may end before the child does (it closed or handed on its
    // descriptors): its end is awaited with the same deadline.
    const bool ended = process_.valid() && !outputFd_.valid() &&
                       io::waitReadable(exitFd_.get(), deadline).valueOr(false);
    if (!ended) {
        process_.reset();  // still running at the deadline: killed and reaped
        return std::nullopt;
    }
    const auto status = io::reapChild(process_.release());
    exitFd_.reset();
    return status ? std::optional<int>(exitCodeOf(*status)) : std::nullopt;
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout) {
    auto child = ChildProcess::start(argv, environment);
    if (!child) {
        return {std::nullopt, child.error().message()};
    }
    ProcessResult result;
    result.exitCode = child->wait(timeout);
    result.output = child->output();
    return result;
}

}  // namespace holm::platform
