#include "platform/spawn.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <span>
#include <thread>
#include <type_traits>

#include "platform/epoll_set.h"

#include "platform/io.h"

extern char** environ;

namespace holm::platform {

static_assert(std::is_same_v<ProcessId, pid_t>, "a process id is the system's pid_t");

namespace {

using Clock = std::chrono::steady_clock;

std::string variableName(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// The service manager's channel to this process: a child that inherited it
// could report readiness or feed the watchdog in the service's name.
bool isServiceManagerVariable(const std::string& name) {
    return name == "NOTIFY_SOCKET" || name.starts_with("WATCHDOG_");
}

// The parent's environment, less the service manager's variables, with
// `overrides` replacing entries of the same name.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string name = variableName(*entry);
        bool replaced = isServiceManagerVariable(name);
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

// Spawn attributes that give the child the default disposition of every
// signal (the parent may ignore some, SIGXFSZ or SIGPIPE) and an empty mask,
// whatever the parent has blocked.
class SpawnAttributes {
  public:
    explicit SpawnAttributes(bool newSession) {
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigfillset(&defaults);
        sigdelset(&defaults, SIGKILL);
        sigdelset(&defaults, SIGSTOP);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_,
                                 static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                    (newSession ? POSIX_SPAWN_SETSID : 0)));
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

// File actions that give the child its standard streams (inherited, on
// /dev/null, or output and error on one descriptor) and close every other
// descriptor, whether or not it was opened close-on-exec.
class FileActions {
  public:
    explicit FileActions(const SpawnOptions& options) {
        posix_spawn_file_actions_init(&actions_);
        if (options.nullStandardStreams || options.outputFd >= 0) {
            posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        }
        if (options.outputFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions_, options.outputFd, STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions_, options.outputFd, STDERR_FILENO);
        } else if (options.nullStandardStreams) {
            posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, STDERR_FILENO);
        }
        if (!options.workingDirectory.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions_, options.workingDirectory.c_str());
        }
        posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
    }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

// Marks every descriptor above the standard streams close-on-exec, so the
// program starts with its standard streams only while the error pipe still
// works until the exec. Runs in the forked child: system calls only.
void closeOtherDescriptorsOnExec() {
    if (::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    const long limit = ::sysconf(_SC_OPEN_MAX);
    const int last = limit > 0 && limit < 1 << 20 ? static_cast<int>(limit) : 1 << 20;
    for (int fd = STDERR_FILENO + 1; fd < last; ++fd) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

// Sends errno through `errorFd` and ends the forked child.
[[noreturn]] void failInChild(int errorFd) {
    const int error = errno;
    (void)!::write(errorFd, &error, sizeof error);
    ::_exit(127);
}

// Executes the program: from its descriptor when one is given.
void execProgram(int programFd, char* const* argv, char* const* envp) {
    if (programFd >= 0) {
        ::execveat(programFd, "", argv, envp, AT_EMPTY_PATH);
    } else {
        ::execve(argv[0], argv, envp);
    }
}

// The child's side of a run as another user or from a descriptor: everything
// was prepared before the fork, so only system calls are made here. A step
// that fails sends its errno through `errorFd` and ends the child.
[[noreturn]] void becomeAndExec(const SpawnOptions& options, const gid_t* groups, size_t groupCount,
                                char* const* argv, char* const* envp, int errorFd) {
    auto fail = [errorFd] { failInChild(errorFd); };
    sigset_t none;
    sigemptyset(&none);
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) {
        ::sigaction(number, &byDefault, nullptr);  // SIGKILL, SIGSTOP refuse: nothing to reset
    }
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.nullStandardStreams || options.outputFd >= 0) {
        // Direct opens, not the I/O module's: only async-signal-safe calls
        // may run here (system_calls.h).
        const int input = ::open("/dev/null", O_RDONLY);
        if (input < 0 || ::dup2(input, STDIN_FILENO) < 0) {
            fail();
        }
        const int output = options.outputFd >= 0 ? options.outputFd : ::open("/dev/null", O_WRONLY);
        if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0) {
            fail();
        }
    }
    if (options.newSession && ::setsid() < 0) {
        fail();
    }
    // Groups first, then the group, then the user: afterwards the right to
    // change them is gone.
    if (options.identity &&
        (::setgroups(groupCount, groups) != 0 || ::setgid(options.identity->gid) != 0 ||
         ::setuid(options.identity->uid) != 0)) {
        fail();
    }
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
        fail();
    }
    closeOtherDescriptorsOnExec();
    execProgram(options.programFd, argv, envp);
    failInChild(errorFd);
}

// A run as another user or from a descriptor: fork and exec, since the spawn
// attributes can neither change groups and ids nor execute a descriptor. The
// exec's failure comes back through a pipe that the exec closes.
Result<pid_t> forkAndExec(std::vector<std::string>& arguments, std::vector<std::string>& variables,
                          const SpawnOptions& options) {
    std::vector<gid_t> groups;
    if (options.identity) {
        groups.assign(options.identity->groups.begin(), options.identity->groups.end());
    }
    std::vector<char*> argv = pointers(arguments);
    std::vector<char*> envp = pointers(variables);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return lastSystemError();
    }
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    const pid_t pid = ::fork();
    if (pid < 0) {
        return lastSystemError();
    }
    if (pid == 0) {
        becomeAndExec(options, groups.data(), groups.size(), argv.data(), envp.data(),
                      writeEnd.get());
    }
    writeEnd.reset();
    int childError = 0;
    auto got = io::readSome(readEnd.get(),
                            std::span(reinterpret_cast<uint8_t*>(&childError), sizeof childError));
    if (got && *got == sizeof childError) {
        (void)io::reapChild(pid);  // it has ended with the report
        return Error::fromErrno(childError);
    }
    return pid;
}

ExitStatus exitStatusOf(int status) {
    if (WIFSIGNALED(status)) {
        return {true, WTERMSIG(status)};
    }
    return {false, WEXITSTATUS(status)};
}

// Reaps children whose owners stopped waiting for them, each by its own id
// once its process descriptor says it has ended. One thread, started with the
// first child handed over, waits on all of them; it lives as long as the
// process (its object is never destroyed, so no exit handler joins it).
class Reaper {
  public:
    static Reaper& instance() {
        static Reaper* reaper = new Reaper;
        return *reaper;
    }

    void adopt(pid_t pid, UniqueFd exitFd) {
        std::lock_guard lock(mutex_);
        if (!epoll_.add(exitFd.get(), static_cast<uint64_t>(pid))) {
            // Cannot be watched (descriptor limits): wait for it here rather
            // than leave a zombie behind.
            (void)io::reapChild(pid);
            return;
        }
        children_.emplace(pid, std::move(exitFd));
        // A detached thread is no longer joinable: a flag, not the thread
        // object, says whether the one reaper thread runs.
        if (!started_) {
            std::thread([this] { run(); }).detach();
            started_ = true;
        }
    }

  private:
    [[noreturn]] void run() {
        uint64_t ready[16];
        for (;;) {
            const int count = epoll_.wait(ready);
            for (int i = 0; i < count; ++i) {
                reap(static_cast<pid_t>(ready[i]));
            }
        }
    }

    void reap(pid_t pid) {
        (void)io::reapChild(pid);  // it has ended: this does not block
        std::lock_guard lock(mutex_);
        const auto child = children_.find(pid);
        if (child == children_.end()) {
            return;
        }
        // Removed explicitly: closing the descriptor is not enough while a
        // duplicate of it (a shared process handle) keeps it in the set.
        epoll_.remove(child->second.get());
        children_.erase(child);
    }

    std::mutex mutex_;
    EpollSet epoll_;
    std::map<pid_t, UniqueFd> children_;
    bool started_ = false;
};

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

Result<Process> Process::spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
    if (argv.empty()) {
        return Error::fromErrno(EINVAL);
    }
    std::vector<std::string> arguments = argv;
    std::vector<std::string> overrides = options.environment;
    if (options.session) {
        // A process joins no login session after the login: it is told its
        // session, which the session's programs look for.
        overrides.push_back("XDG_SESSION_ID=" + options.session->id);
        if (!options.session->display.empty()) {
            overrides.push_back("DISPLAY=" + options.session->display);
        }
    }
    std::vector<std::string> variables =
        options.clearEnvironment ? overrides : mergedEnvironment(overrides);
    pid_t pid;
    if (options.identity || options.programFd >= 0) {
        auto forked = forkAndExec(arguments, variables, options);
        if (!forked) {
            return forked.error();
        }
        pid = *forked;
    } else {
        SpawnAttributes attributes(options.newSession);
        FileActions actions(options);
        const int result = posix_spawn(&pid, arguments[0].c_str(), actions.get(), attributes.get(),
                                       pointers(arguments).data(), pointers(variables).data());
        if (result != 0) {
            return Error::fromErrno(result);
        }
    }
    Process process;
    process.pid_ = pid;
    // Taken before the child is reaped, the descriptor refers to this child
    // and no later process that reuses its id.
    process.exitFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!process.exitFd_) {
        const Error error = lastSystemError();
        ::kill(pid, SIGKILL);
        (void)io::reapChild(pid);
        return error;
    }
    return process;
}

Result<UniqueFd> Process::shareDescriptor() const {
    if (!valid()) {
        return Error::fromErrno(ECHILD);
    }
    UniqueFd duplicate(::fcntl(exitFd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!duplicate) {
        return lastSystemError();
    }
    return duplicate;
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      exitFd_(std::move(other.exitFd_)),
      status_(std::move(other.status_)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        detach();
        pid_ = std::exchange(other.pid_, -1);
        exitFd_ = std::move(other.exitFd_);
        status_ = std::move(other.status_);
    }
    return *this;
}

Process::~Process() {
    detach();
}

bool Process::poll() {
    if (!status_ && valid() && io::waitReadable(exitFd_.get(), io::Deadline{}).valueOr(false)) {
        reap();
    }
    return status_.has_value();
}

void Process::reap() {
    if (const auto status = io::reapChild(pid_)) {
        status_ = exitStatusOf(*status);
    } else {
        status_ = ExitStatus{true, SIGKILL};  // not ours to reap any more: treat as gone
    }
    exitFd_.reset();
}

bool Process::sendSignal(int signal) {
    // Through the process descriptor: a reaped child's id may name another
    // process by now, the descriptor never does.
    return valid() && ::syscall(SYS_pidfd_send_signal, exitFd_.get(), signal, nullptr, 0) == 0;
}

bool Process::kill() {
    return sendSignal(SIGKILL);
}
bool Process::terminate() {
    return sendSignal(SIGTERM);
}

void Process::detach() {
    if (valid() && !poll()) {
        Reaper::instance().adopt(pid_, std::move(exitFd_));
    }
    pid_ = -1;
    exitFd_.reset();
}

Result<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& environment) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return lastSystemError();
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    SpawnOptions options;
    options.environment = environment;
    options.outputFd = writeEnd.get();
    auto process = Process::spawn(argv, options);
    if (!process) {
        return process.error();
    }
    ChildProcess child;
    child.process_ = std::move(*process);
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

bool ChildProcess::sendSignal(ChildSignal signal) {
    switch (signalNumber(signal)) {
        case SIGTERM:
            return process_.terminate();
        default:
            return process_.valid() && ::kill(process_.id(), signalNumber(signal)) == 0;
    }
}

}  // namespace holm::platform
