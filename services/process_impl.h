// The process service (interface id 14): starts a command line plainly, as
// the user of an interactive process, inside the active session, or as the
// console user; waits for it or hands back its handle. A wait of the three
// session runs gives up when the service stops: the object is a service
// handler whose onStopping sets its stop event, and the process is then
// killed. A plain run's wait does not watch the stop.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hlmplg/handlers.h"
#include "hlmplg/process.h"
#include "platform/spawn.h"
#include "services/session_manager.h"
#include "utilities/shared_handle.h"

namespace holm::services {

// Where the object registers itself as a service handler (the core's list);
// `remove` returns only when no call of the handler runs any more.
struct ServiceHandlerLinks {
    std::function<void(HlmPlg::IServiceHandler*)> add;
    std::function<void(HlmPlg::IServiceHandler*)> remove;
};

class CProcessImpl : public HlmPlg::IProcess, public HlmPlg::IServiceHandler {
  public:
    // `consoleImage` is the image name runAsConsoleUser searches.
    explicit CProcessImpl(ServiceHandlerLinks links,
                          SessionManager& sessions = SessionManager::process(),
                          std::u16string consoleImage = defaultConsoleImage());
    ~CProcessImpl() override;
    CProcessImpl(const CProcessImpl&) = delete;
    CProcessImpl& operator=(const CProcessImpl&) = delete;

    bool run(const char16_t* commandLine, bool wait) override;
    bool runAsUserOfProcess(uint32_t processId, const char16_t* commandLine, bool wait) override;
    bool runInActiveSession(const char16_t* commandLine, bool wait) override;
    bool runAsConsoleUser(const char16_t* commandLine, bool wait) override;
    uint32_t getExitCode() override { return exitCode_; }
    HlmPlg::ProcessHandle getProcessHandle() override { return handle_; }
    HlmPlg::ProcessHandle takeProcessHandle() override;
    uint32_t getProcessId() override { return processId_; }

    // Sets the stop event: running waits give up, and so does every later
    // one of this object.
    void onStopping() override;

    // The common wait step of the session runs. Without `wait`: keeps a
    // share of the process's handle, and its id when `keepId`; true. With
    // `wait`: waits for its end (true, the exit code stored: the exit code,
    // or 128 + signal for a process a signal ended) or for the stop event
    // (the process is killed and reaped, the exit code stays 0; false).
    bool finish(platform::Process process, bool wait, bool keepId);

  private:
    // Splits the command line and starts the program; nothing when the
    // line names no program or the start fails.
    std::optional<platform::Process> start(const char16_t* commandLine,
                                           const platform::SpawnOptions& options);
    void clearResults();

    ServiceHandlerLinks links_;
    SessionManager& sessions_;
    std::u16string consoleImage_;
    uint32_t exitCode_ = 0;
    HlmPlg::ProcessHandle handle_;
    Tandro::Utilities::SharedHandle stopEvent_;
    uint32_t processId_ = 0;
};

}  // namespace holm::services
