// The parts of Process and ChildProcess every system shares: each backend
// starts, reaps and ends a child its own way, and reads a child's output
// (readSome); the process descriptor is waitable on both.
#include "platform/spawn.h"

#include <cerrno>

namespace holm::platform {

Result<Process::Wait> Process::wait(io::Deadline deadline, int interruptFd) {
    if (status_) {
        return Wait::Exited;
    }
    if (!valid()) {
        return Error::fromErrno(ECHILD);
    }
    const int fds[] = {exitFd_.get(), interruptFd};
    bool ready[] = {false, false};
    const size_t count = interruptFd >= 0 ? 2 : 1;
    auto woken = io::waitAnyReadable(std::span(fds, count), std::span(ready, count), deadline);
    if (!woken) {
        return woken.error();
    }
    if (ready[0]) {
        reap();
        return Wait::Exited;
    }
    return *woken ? Wait::Interrupted : Wait::TimedOut;
}

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
