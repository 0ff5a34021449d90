// Child processes: a program started and waited for with a deadline
// (`Process`), and a program whose output is captured, for tools and tests
// that look at what it printed and how it ended (`ChildProcess`).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io.h"
#include "platform/result.h"
#include "platform/sessions.h"
#include "platform/unique_handle.h"

namespace holm::platform {

// A process id as the system gives it (pid_t, checked where the system's
// headers are included).
using ProcessId = int32_t;

// The user a child runs as. The systems start a program as another user in
// different ways, and the identity carries what each needs:
// - Linux sets the ids: the supplementary groups, the group and the user, in
//   that order before the program starts. Needs the privilege to change
//   them (root). `process` is not looked at.
// - Windows makes no user from numbers: the child takes the logon (the
//   access token) of `process`, a running process of that user, which must
//   still run as user `uid` (the number sessions.h gives a user); its groups
//   come with the logon, `gid` and `groups` are not looked at. A process
//   that has ended or runs as another user by then fails the start (ESRCH),
//   as does an identity without a process (not supported); starting another
//   user's program needs the privileges of the system's own account.
struct SpawnIdentity {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups;
    std::optional<uint32_t> process = std::nullopt;
};

struct SpawnOptions {
    // "NAME=VALUE" entries that replace or add to the environment the child
    // inherits.
    std::vector<std::string> environment;
    // `environment` is the child's whole environment, nothing inherited.
    bool clearEnvironment = false;
    // The child starts a session of its own (leaving this process's
    // terminal and process group).
    bool newSession = false;
    // The child is meant to be let go (`detach`) and to keep running after
    // this process ends, as every child does on Linux. Windows otherwise
    // ends a child together with this process (see the Windows backend).
    bool outlivesOwner = false;
    // Run as another user (Linux: fork and exec, since the spawn attributes
    // cannot change groups and ids); nothing keeps this process's identity.
    std::optional<SpawnIdentity> identity;
    // The login session the child belongs to; nullopt: this process's.
    // Linux cannot put a process in a login session after the login: the
    // child is told its session, `XDG_SESSION_ID` and (when the session has
    // one) `DISPLAY` are added to `environment`. Windows starts the child in
    // that terminal session, on its interactive desktop: the child's logon
    // (this process's, or the identity's) is given that session when it has
    // another, which needs the system's own privilege.
    std::optional<LoginSession> session;
    // The child's working directory; empty keeps this process's.
    std::string workingDirectory;
    // Standard input, output and error on /dev/null instead of inherited.
    bool nullStandardStreams = false;
    // A descriptor that becomes the child's standard output and error
    // (negative: as `nullStandardStreams` says).
    int outputFd = -1;
    // When not negative: the program started is the file open on this
    // descriptor, executed from it (an ELF program; argv[0] is only the name
    // it is told), so that what runs is what was checked on the descriptor,
    // whatever its path names by then.
    int programFd = -1;
    // Windows: the arguments as the caller wrote them, handed to the child
    // as they stand behind the program's name instead of argv[1..] quoted
    // anew. A Windows program parses its own command line, some (the
    // command interpreter) by rules of their own that quoting anew would
    // change. Other systems pass argv and ignore this.
    std::optional<std::string> argumentText;
};

// How a child ended.
struct ExitStatus {
    bool signalled = false;  // ended by a signal rather than an exit call
    int code = 0;            // the exit code, or the signal's number

    // The exit code, or 128 + signal number as a shell reports it.
    int shellCode() const { return signalled ? 128 + code : code; }
};

// A started child process, owned through its process descriptor (a pidfd):
// its end can be awaited with a deadline beside other descriptors, and its
// process id cannot be reused while the object holds it unreaped.
//
// Children are only ever reaped by their own id, never with a wait for any
// child, so no other owner's exit status is taken. A `Process` destroyed or
// detached before its child ended hands the child to a background reaper,
// which reaps it when it ends: the child keeps running (closing a process
// handle does not end a process) and never lingers as a zombie. A child
// started with `outlivesOwner` also keeps running when this process ends;
// any other may be ended with it (Windows does).
class Process {
  public:
    // Starts argv[0], a path (no search of PATH: a service must not run
    // whatever a writable directory in PATH offers), with `argv`. The child
    // gets the default disposition of every signal, an empty signal mask
    // (Windows: the system's default error mode, not this process's),
    // no descriptors but its standard streams, and (unless
    // `clearEnvironment`) this process's environment without the service
    // manager's NOTIFY_SOCKET and WATCHDOG_* variables.
    static Result<Process> spawn(const std::vector<std::string>& argv,
                                 const SpawnOptions& options = {});

    Process() = default;
    Process(Process&&) noexcept;
    Process& operator=(Process&& other) noexcept;
    ~Process();

    bool valid() const { return exitFd_.valid(); }
    ProcessId id() const { return pid_; }
    // A duplicate of the process descriptor (close-on-exec) for an owner who
    // only watches for the end: it stays valid, and readable once the child
    // ended, whoever reaps the child.
    Result<UniqueFd> shareDescriptor() const;

    enum class Wait { Exited, TimedOut, Interrupted };
    // Waits until the child ends (it is then reaped and `exitStatus` tells
    // how), `deadline` passes, or `interruptFd` (if not negative) becomes
    // readable. A child that ended already gives Exited at once.
    Result<Wait> wait(io::Deadline deadline, int interruptFd = -1);
    // Reaps the child if it has ended, without waiting; true if it has.
    bool poll();
    // Set once the child has been reaped.
    const std::optional<ExitStatus>& exitStatus() const { return status_; }

    // Sends SIGKILL (`kill`) or SIGTERM (`terminate`). False if there is no
    // child, or it has been reaped already.
    bool kill();
    bool terminate();

    // Gives an unreaped child to the background reaper and empties this
    // object.
    void detach();

  private:
    bool sendSignal(int signal);
    void reap();

    ProcessId pid_ = -1;
    UniqueFd exitFd_;
    std::optional<ExitStatus> status_;
};

enum class ChildSignal { Terminate, Interrupt, Hangup };

// A child whose standard output and error go to one pipe read by this
// object. Destroying it before the child ended kills the child.
class ChildProcess {
  public:
    // Starts argv[0] as `Process::spawn` does, with `environment` as its
    // environment overrides.
    static Result<ChildProcess> start(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& environment);

    ChildProcess() = default;
    ChildProcess(ChildProcess&&) noexcept = default;
    ChildProcess& operator=(ChildProcess&&) noexcept = default;
    ~ChildProcess() { process_.kill(); }

    bool valid() const { return process_.valid(); }

    // Reads output until it contains `text` or `timeout` passes; true if found.
    bool waitForOutput(std::string_view text, std::chrono::milliseconds timeout);
    bool sendSignal(ChildSignal signal);
    // Ends the child at once, wherever it is (SIGKILL; Windows: terminated
    // with exit code 137, as a shell reports SIGKILL). False if there is no
    // child, or it has been reaped already.
    bool kill() { return process_.kill(); }
    // Reads the output to its end and reaps the child. Its exit code, 128 +
    // signal number when a signal ended it, or nothing when its output or
    // the child itself did not end within `timeout` (it is then killed).
    std::optional<int> wait(std::chrono::milliseconds timeout);

    // Everything read so far.
    const std::string& output() const { return output_; }

  private:
    // Reads what is available, waiting until `deadline`; false at the end of
    // the output or at the deadline.
    bool readSome(std::chrono::steady_clock::time_point deadline);

    Process process_;
    UniqueFd outputFd_;
    std::string output_;
};

struct ProcessResult {
    // Exit code as ChildProcess::wait reports it; nothing on start failure
    // (`output` then says why) or timeout.
    std::optional<int> exitCode;
    std::string output;
};

// Runs a program to its end (see ChildProcess::start and wait).
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout);

}  // namespace holm::platform
