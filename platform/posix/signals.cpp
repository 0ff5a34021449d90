#include "platform/signals.h"

#include <poll.h>
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
    pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
    // poll takes an int: a longer wait is cut to the longest it can express
    // (the caller sees a timeout and waits again), a negative one to zero
    // rather than "forever".
    const int timeoutMs =
        timeout ? static_cast<int>(std::clamp<int64_t>(timeout->count(), 0, INT_MAX)) : -1;
    int ready = poll(fds, 2, timeoutMs);
    while (ready < 0 && errno == EINTR) {
        ready = poll(fds, 2, timeoutMs);
    }
    if (ready <= 0) {
        return std::nullopt;
    }
    if (fds[1].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] auto ignored = read(wakeFd_.get(), &count, sizeof count);
    }
    signalfd_siginfo info;
    if (!(fds[0].revents & POLLIN) || read(fd_.get(), &info, sizeof info) != sizeof info) {
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
    [[maybe_unused]] auto ignored = write(wakeFd_.get(), &one, sizeof one);
}

void raiseOpenFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void notifyServiceManager(const char* state) {
    sd_notify(0, state);
}

}  // namespace holm::platform
