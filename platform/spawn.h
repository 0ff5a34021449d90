// Child processes with their output captured, for tools and tests that run a
// program and look at what it printed and how it ended.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

// A running child; the handle is its process id. Closing an unreaped child
// kills it and reaps it, so no child outlives its owner unnoticed.
struct ProcessTraits {
    using Handle = int;
    static constexpr int invalid() noexcept { return -1; }
    static void close(int pid) noexcept;
};
using UniqueProcess = UniqueHandle<ProcessTraits>;

enum class ChildSignal { Terminate, Interrupt, Hangup };

class ChildProcess {
  public:
    // Starts argv[0] (a path; no search) with `argv`, in this process's
    // environment plus `environment` ("NAME=VALUE" entries replace or add),
    // with default signal dispositions and an empty signal mask. Standard
    // output and error both go to one pipe read by this object.
    static Result<ChildProcess> start(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& environment);

    bool valid() const { return process_.valid(); }

    // Reads output until it contains `text` or `timeout` passes; true if found.
    bool waitForOutput(std::string_view text, std::chrono::milliseconds timeout);
    bool sendSignal(ChildSignal signal);
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

    UniqueProcess process_;
    UniqueFd exitFd_;  // readable once the child has ended (a pidfd)
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
