// The parts of ChildProcess every system shares: each backend reads the
// output (readSome) and ends the child its own way.
#include "platform/spawn.h"

namespace holm::platform {

bool ChildProcess::waitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
        if (!readSome(deadline)) {
            return output_.find(text) != std::string::npos;
        }
    }
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = io::deadlineIn(timeout);
    while (readSome(deadline)) {
    }
    // The output may end before the child does (it closed or handed on its
    // descriptors): its end is awaited with the same deadline.
    const bool ended = !outputFd_.valid() && process_.wait(deadline).valueOr(
                                                 Process::Wait::TimedOut) == Process::Wait::Exited;
    if (!ended) {
        // Still running at the deadline: killed, and reaped at once (a
        // killed child cannot delay its end).
        process_.kill();
        (void)process_.wait(io::kNoDeadline);
        process_ = Process();
        return std::nullopt;
    }
    return process_.exitStatus()->shellCode();
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
