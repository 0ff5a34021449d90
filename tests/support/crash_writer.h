// Killing a writer of state at random points: the crash test a writer that
// keeps state runs (registry store, logs), with the writer in a fork of the
// test process, so on Linux only; child_writer.h is the same test with the
// writer a child run of the test program, on every system (configuration
// file, INI files).
//
// `killWriterAtRandomPoints` forks a child that runs `write(step)` for
// step = 0, 1, 2, ... and reports through a pipe after each completed step.
// The parent waits for a random number of completed steps (so it knows the
// child is writing, without sleeping), kills the child with SIGKILL wherever
// it is by then (inside the next write, or between two), reaps it and calls
// `check(completedSteps)`: the state must be that of the last completed step
// or of the one after it (never torn), and the writer must open it cleanly.
// The child never returns into the test: it ends only by the kill, or by
// _exit when its parent is gone or a write fails.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <functional>
#include <random>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/io.h"

namespace holm::test {

struct CrashRunOptions {
    int runs = 50;
    // Each run waits for 1 to this many completed steps before the kill.
    int maxStepsBeforeKill = 4;
    uint32_t seed = 20261207;
};

// `write(step)` returns false when the write failed (the child then ends
// with exit code 2, which fails the test). `check(completed)` receives the
// number of steps the child reported complete before the kill.
inline void killWriterAtRandomPoints(const std::function<bool(uint64_t step)>& write,
                                     const std::function<void(uint64_t completed)>& check,
                                     const CrashRunOptions& options = {}) {
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<int> stepsBeforeKill(1, options.maxStepsBeforeKill);
    uint64_t step = 0;  // runs continue where the last one stopped
    for (int run = 0; run < options.runs; ++run) {
        SCOPED_TRACE(::testing::Message() << "run " << run);
        int progress[2];
        ASSERT_EQ(::pipe2(progress, O_CLOEXEC), 0);
        const uint64_t firstStep = step;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(progress[0]);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (uint64_t next = firstStep;; ++next) {
                if (!write(next)) {
                    ::_exit(2);
                }
                const char done = 1;
                if (::write(progress[1], &done, 1) != 1) {
                    ::_exit(3);  // the parent is gone
                }
            }
        }
        ::close(progress[1]);
        const int wanted = stepsBeforeKill(random);
        int completed = 0;
        uint8_t done = 0;
        while (completed < wanted) {
            const auto got = holm::platform::io::readSome(progress[0], {&done, 1});
            if (!got || *got == 0) {
                break;  // the child ended on its own: a write failed
            }
            ++completed;
        }
        ::kill(child, SIGKILL);
        const auto reaped = holm::platform::io::reapChild(child);
        ASSERT_TRUE(reaped.ok()) << "the writer could not be reaped";
        const int status = *reaped;
        // Steps the child finished after the wanted count but before the kill.
        while (::read(progress[0], &done, 1) == 1) {
            ++completed;
        }
        ::close(progress[0]);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer ended on its own (exit code "
            << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << ")";
        step = firstStep + static_cast<uint64_t>(completed);
        check(step);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

}  // namespace holm::test
