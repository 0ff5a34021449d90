// Killing a writer of state at random points when the writer is a child run
// of this test program: the crash test of a writer on every system (the
// fork of crash_writer.h has no counterpart on Windows).
//
// `killChildWriterAtRandomPoints` starts this program again, filtered to a
// child entry (a test that skips unless its environment names its state),
// with the environment the entry needs plus the first step to write. The
// entry calls `runWriterSteps(write)`: write(step) for step = first,
// first + 1, ..., a line on standard output after each completed one. The
// parent reads the lines until a random number of steps are complete (so it
// knows the child is writing, without sleeping), ends the child at once
// wherever it is by then (inside the next write, or between two), and calls
// `check(completedSteps)`: the state must be that of the last completed
// step or of the one after it (never torn), and the writer must open it
// cleanly. A writer may also end itself at a point of its own choosing with
// `endWriterHere` (a kill point inside a system call).
//
// The parent kills the child with `ChildProcess::kill` (SIGKILL on Linux,
// TerminateProcess on Windows): the process ends where it is without running
// any more of its code, so nothing of the writer's own buffers reaches the
// file.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process_info.h"
#include "platform/signals.h"
#include "platform/spawn.h"
#include "support/child_start.h"

namespace holm::test {

struct ChildWriter {
    // The child entry, "Suite.Name".
    std::string entry;
    // "NAME=VALUE" entries the entry reads to find the state.
    std::vector<std::string> environment;
};

struct ChildWriterRunOptions {
    int runs = 50;
    // Each run waits for 1 to this many completed steps before the kill.
    int maxStepsBeforeKill = 4;
    uint32_t seed = 20261207;
};

// The exit code of a writer that ended itself at its kill point (what a
// shell reports for SIGKILL), and of one the parent ended (SIGTERM's).
inline constexpr int kWriterEndedItself = 128 + 9;
inline constexpr int kWriterEndedByParent = 128 + 9;  // as a shell reports SIGKILL

inline constexpr char kFirstStepVariable[] = "HOLM_CHILD_WRITER_FIRST_STEP";
inline constexpr std::string_view kStepDone = "[writer step done ";

// Ends the writer at once, wherever it is, as a kill would.
[[noreturn]] inline void endWriterHere() {
    platform::exitImmediately(kWriterEndedItself);
}

// In a child entry: runs write(step) from the first step the parent named,
// reporting each completed one. Never returns; a failed write ends the
// child with exit code 2, which fails the parent's test.
[[noreturn]] inline void runWriterSteps(const std::function<bool(uint64_t step)>& write) {
    const char* first = std::getenv(kFirstStepVariable);
    uint64_t step = first != nullptr ? std::strtoull(first, nullptr, 10) : 0;
    for (;; ++step) {
        if (!write(step)) {
            std::fflush(stdout);
            platform::exitImmediately(2);
        }
        std::printf("\n%.*s%llu]\n", static_cast<int>(kStepDone.size()), kStepDone.data(),
                    static_cast<unsigned long long>(step));
        std::fflush(stdout);
    }
}

// The number of steps the child's output reports complete.
inline uint64_t stepsDoneIn(const std::string& output) {
    uint64_t count = 0;
    for (size_t at = output.find(kStepDone); at != std::string::npos;
         at = output.find(kStepDone, at + 1)) {
        ++count;
    }
    return count;
}

// `check(completed)` receives the number of steps the child reported
// complete before it ended.
inline void killChildWriterAtRandomPoints(const ChildWriter& writer,
                                          const std::function<void(uint64_t completed)>& check,
                                          const ChildWriterRunOptions& options = {}) {
    // A deadline for a child that hangs, never reached by a working one.
    constexpr auto kDeadline = std::chrono::seconds(60);
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<int> stepsBeforeKill(1, options.maxStepsBeforeKill);
    uint64_t step = 0;  // runs continue where the last one stopped
    for (int run = 0; run < options.runs; ++run) {
        SCOPED_TRACE(::testing::Message() << "run " << run);
        std::vector<std::string> environment = writer.environment;
        environment.push_back(std::string(kFirstStepVariable) + "=" + std::to_string(step));
        auto child = startChildRun({platform::executablePath(), "--gtest_filter=" + writer.entry},
                                   environment);
        ASSERT_TRUE(child.ok()) << child.error().message();
        const uint64_t wanted = step + static_cast<uint64_t>(stepsBeforeKill(random)) - 1;
        // Ends early when the child ends on its own (at its kill point).
        (void)child->waitForOutput(std::string(kStepDone) + std::to_string(wanted) + "]",
                                   kDeadline);
        (void)child->kill();
        const std::optional<int> code = child->wait(kDeadline);
        ASSERT_TRUE(code.has_value()) << "the writer hung:\n" << child->output();
        ASSERT_TRUE(*code == kWriterEndedItself || *code == kWriterEndedByParent)
            << "the writer ended on its own (exit code " << *code << "):\n"
            << child->output();
        // With the steps the child finished after the wanted one but before
        // the kill.
        step += stepsDoneIn(child->output());
        check(step);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

}  // namespace holm::test
