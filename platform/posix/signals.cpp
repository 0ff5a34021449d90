#include "platform/signals.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/io.h"

namespace holm::platform {

namespace {

sigset_t hostSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

int signalNumber(HostSignal signal) {
    switch (signal) {
        case HostSignal::Hangup:
            return SIGHUP;
        case HostSignal::Interrupt:
            return SIGINT;
        default:
            return SIGTERM;
    }
}

}  // namespace

bool blockHostSignals() {
    const sigset_t set = hostSignals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

void sendHostSignalToSelf(HostSignal signal) {
    ::kill(::getpid(), signalNumber(signal));
}

void exitImmediately(int status) {
    ::_exit(status);
}

SignalChannel SignalChannel::open() {
    SignalChannel channel;
    const sigset_t set = hostSignals();
    if (!blockHostSignals()) {
        return channel;
    }
    channel.fd_.reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    channel.wakeFd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!channel.wakeFd_.valid()) {
        channel.fd_.reset();
    }
    return channel;
}

std::optional<HostSignal> SignalChannel::wait(std::optional<std::chrono::milliseconds> timeout) {
    const int fds[2] = {fd_.get(), wakeFd_.get()};
    bool ready[2] = {false, false};
    const auto deadline = timeout ? io::deadlineIn(*timeout) : io::kNoDeadline;
    if (!io::waitAnyReadable(fds, ready, deadline).valueOr(false)) {
        return std::nullopt;
    }
    if (ready[1]) {
        uint64_t count;
        // Draining the wake-up counter; a failed read leaves it set, which
        // only wakes the next wait early.
        (void)io::readSome(wakeFd_.get(),
                           std::span(reinterpret_cast<uint8_t*>(&count), sizeof count));
    }
    signalfd_siginfo info;
    if (!ready[0] ||
        io::readSome(fd_.get(), std::span(reinterpret_cast<uint8_t*>(&info), sizeof info))
                .valueOr(0) != sizeof info) {
        return std::nullopt;
    }
    switch (info.ssi_signo) {
        case SIGHUP:
            return HostSignal::Hangup;
        case SIGINT:
            return HostSignal::Interrupt;
        default:
            return HostSignal::Terminate;
    }
}

void SignalChannel::wake() {
    const uint64_t one = 1;
    // A counter that cannot take more is set already: the wake-up stands.
    (void)io::writeFull(wakeFd_.get(),
                        std::span(reinterpret_cast<const uint8_t*>(&one), sizeof one));
}

void raiseOpenFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void ignoreFileSizeLimitSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

void notifyServiceManager(const char* state) {
    sd_notify(0, state);
}

std::optional<std::chrono::microseconds> serviceWatchdogInterval() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        return std::nullopt;
    }
    // Pinging more often than asked is harmless; an absurd interval must
    // not overflow the caller's time arithmetic.
    constexpr uint64_t kLongest = 3600ULL * 1000 * 1000;
    return std::chrono::microseconds(std::min(usec, kLongest));
}

}  // namespace holm::platform
