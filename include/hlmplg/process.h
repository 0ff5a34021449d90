// IProcess (id 14): starts a command line as the service itself, as the
// user of an interactive process, inside the active user session, or as the
// user of the console session's shell process; waits for it or hands its
// handle back.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// A started process, shared: every copy refers to one process descriptor,
// which is closed when the last copy goes. The descriptor becomes readable
// (poll, epoll) once the process has ended. Its exit status belongs to the
// core, which collects it (a process nobody waits for is reaped in the
// background): never wait on the descriptor with waitid, never close it.
class ProcessHandle {
  public:
    ProcessHandle() = default;
    explicit ProcessHandle(std::shared_ptr<const int> descriptor)
        : m_descriptor(std::move(descriptor)) {}

    // The descriptor, or -1 when empty.
    int get() const noexcept { return m_descriptor ? *m_descriptor : -1; }
    explicit operator bool() const noexcept { return get() != -1; }
    void reset() noexcept { m_descriptor.reset(); }

  private:
    std::shared_ptr<const int> m_descriptor;
};

// Command lines are split by the Windows rules (blanks separate, double
// quotes group, backslashes escape only before a quote); the first part is
// the program: a path when it contains '/', else a name looked up in the
// system's program directories only (/usr/local/sbin, /usr/local/bin,
// /usr/sbin, /usr/bin, /sbin, /bin), never along PATH. Every run operation
// first clears the exit code, process id and handle; a failure leaves them
// so (exit code 0). The child of `run` and `runInActiveSession` gets the
// caller's environment without the service manager's notification and
// watchdog variables (NOTIFY_SOCKET, WATCHDOG_*); every child starts with
// default signal dispositions and an empty signal mask. One object is used
// by one thread at a time.
class HLMPLG_API IProcess : public IInterface {
  public:
    // Without `wait`: true once started; nothing of the process is kept
    // (getProcessHandle and getProcessId give nothing), it is reaped when
    // it ends, and it keeps running when the service ends. With `wait`: returns when the process
    // has ended (true, its exit code stored), even while the service stops.
    virtual bool run(const char16_t* commandLine, bool wait) = 0;
    // The three operations below share one wait step. Without `wait` the
    // process handle is kept (getProcessHandle, takeProcessHandle); with
    // `wait` the call returns when the process has ended (true, its exit code
    // stored) or when the service stops: the process is killed and the call
    // returns false, the exit code staying 0.
    //
    // As the user of process `processId`, in that process's login session,
    // when it is an interactive user process (whether or not a session is
    // active); else as the user of the first interactive user process of the
    // active session. The child gets a fresh login environment. False when
    // there is none or the service may not change its identity.
    virtual bool runAsUserOfProcess(uint32_t processId, const char16_t* commandLine, bool wait) = 0;
    // With the service's identity, inside the active session; false when
    // there is no active session.
    virtual bool runInActiveSession(const char16_t* commandLine, bool wait) = 0;
    // As the user owning the active session's shell process (see the
    // documentation of the process service for the name searched).
    virtual bool runAsConsoleUser(const char16_t* commandLine, bool wait) = 0;
    virtual uint32_t getExitCode() = 0;
    // A share of the handle held (empty when none).
    virtual ProcessHandle getProcessHandle() = 0;
    // The handle held; the object holds none afterwards.
    virtual ProcessHandle takeProcessHandle() = 0;
    // The id of the process started by the last runInActiveSession without
    // wait, else 0.
    virtual uint32_t getProcessId() = 0;
};

static_assert(sizeof(IProcess) == sizeof(IInterface));

}  // namespace HlmPlg
