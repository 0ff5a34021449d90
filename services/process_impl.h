// The process service (interface id 14): starts a command line plainly, as
// the user of an interactive process, inside the active session, or as the
// console user; waits for it or hands back its handle. A wait gives up when
// the service stops: the object is a service handler whose onStopping sets
// its stop event, and the process is then killed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hlmplg/handlers.h"
#include "hlmplg/process.h"
#include "platform/spawn.h"
#include "services/session_manager.h"
#include "utilities/shared_handle.h"

namespace holm::services {

// The exit code stored when a wait was given up because the service stops.
inline constexpr uint32_t kStoppedExitCode = 0xFFFFFFFF;

// Where the object registers itself as a service handler (the core's list);
// `remove` returns only when no call of the handler runs any more.
struct ServiceHandlerLinks {
    std::function<void(HlmPlg::IServiceHandler*)> add;
    std::function<void(HlmPlg::IServiceHandler*)> remove;
};

// The program of a command line's first part: a path as it stands, a bare
// name looked up in the system's program directories only (never along the
// caller's PATH, which a service must not trust). Empty when not found.
std::string findProgram(const std::string& name);

class CProcessImpl : public HlmPlg::IProcess, public HlmPlg::IServiceHandler {
  public:
    // `consoleImage` is the image name runAsConsoleUser searches.
    explicit CProcessImpl(ServiceHandlerLinks links,
                          SessionManager& sessions = SessionManager::process(),
                          std::u16string consoleImage = kDefaultConsoleImage);
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

    // The common wait step for a started process. Without `wait`: keeps a
    // share of its handle and its id; true. With `wait`: waits for its end
    // (true, the exit code stored: the exit code, or 128 + signal for a
    // process a signal ended) or for the stop event (the process is killed
    // and reaped, the exit code is kStoppedExitCode; false).
    bool finish(platform::Process process, bool wait);

  private:
    // Clears the results, splits the command line and starts the program.
    bool start(const char16_t* commandLine, platform::SpawnOptions options, bool wait);
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
