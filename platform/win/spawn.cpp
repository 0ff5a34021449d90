#include "platform/spawn.h"

#include <utility>

#include "platform/win/unsupported.h"

namespace holm::platform {

// Child processes are not provided by this backend yet (see unsupported.h):
// a start fails with "not supported" and a Process is never valid.
Result<Process> Process::spawn(const std::vector<std::string>&, const SpawnOptions&) {
    return win::notSupported();
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      exitFd_(std::move(other.exitFd_)),
      status_(std::move(other.status_)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        pid_ = std::exchange(other.pid_, -1);
        exitFd_ = std::move(other.exitFd_);
        status_ = std::move(other.status_);
    }
    return *this;
}

Process::~Process() = default;

Result<UniqueFd> Process::shareDescriptor() const {
    return win::notSupported();
}

Result<Process::Wait> Process::wait(io::Deadline, int) {
    return win::notSupported();
}

bool Process::poll() {
    return false;
}

bool Process::sendSignal(int) {
    return false;
}

void Process::reap() {}

bool Process::kill() {
    return false;
}

bool Process::terminate() {
    return false;
}

void Process::detach() {
    pid_ = -1;
    exitFd_.reset();
}

Result<ChildProcess> ChildProcess::start(const std::vector<std::string>&,
                                         const std::vector<std::string>&) {
    return win::notSupported();
}

bool ChildProcess::readSome(std::chrono::steady_clock::time_point) {
    return false;
}

bool ChildProcess::waitForOutput(std::string_view, std::chrono::milliseconds) {
    return false;
}

bool ChildProcess::sendSignal(ChildSignal) {
    return false;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds) {
    return std::nullopt;
}

ProcessResult runProcess(const std::vector<std::string>&, const std::vector<std::string>&,
                         std::chrono::milliseconds) {
    return {std::nullopt, "starting a process is not supported on this system"};
}

}  // namespace holm::platform
