// A report writer killed at random points during commits and rollovers (both
// modes), and at every point of what it hands the system: every entry whose
// commit returned is in one of the files, unless size control dropped it as
// one of the oldest; no line or entry is torn, and the entries read in commit
// order without a gap, as the next writer finds them. The writer is a child
// run of this program (LogCrashInChild.Run), killed from here (SIGKILL;
// Windows: TerminateProcess) or ending itself at its kill point; the next
// writer is this process. Where the system may stop a killed write at a page
// boundary (Linux), the write's first pages stay, and the next writer to open
// the file cuts them off. (An entry written by a child killed before it could
// report it is written again by the next child: the same step may appear
// twice at a run's boundary.)
//
// HOLM_CRASH_RUNS sets the number of random kills per mode (a short run by
// default, shorter on Windows, where each child is a new program start; the
// test labelled "long" runs 1000).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/process_info.h"
#include "platform/signals.h"
#include "platform/spawn.h"
#include "platform/system_calls.h"
#include "services/log_impl.h"
#include "services/support/write_cuts.h"
#include "support/child_start.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
namespace io = holm::platform::io;
using holm::platform::ChildProcess;
using holm::services::CHlmPlgLogImpl;

// How a child run ends when it is killed from here, and the code a child
// ending itself at its kill point gives: 128 + SIGKILL, as a shell reports it
// (Windows' TerminateProcess gives the same code).
constexpr int kKilled = 137;
constexpr auto kChildDeadline = std::chrono::seconds(120);

int crashRuns() {
    const char* runs = std::getenv("HOLM_CRASH_RUNS");
    if (runs != nullptr && std::atoi(runs) > 0) {
        return std::atoi(runs);
    }
    return holm::test::onWindows() ? 5 : 15;
}

CHlmPlgLogImpl::AsyncHolder withoutAsync() {
    return {nullptr, [](HlmPlg::IAsync*) {}};
}

// ---- the child run ------------------------------------------------------
//
// It reports "[committed <step>]" on its standard output after each entry
// whose commit returned.

void reportCommitted(uint64_t step) {
    std::printf("[committed %llu]\n", static_cast<unsigned long long>(step));
    if (std::fflush(stdout) != 0) {
        holm::platform::exitImmediately(3);  // the parent is gone
    }
}

std::string committedText(uint64_t step) {
    return "[committed " + std::to_string(step) + "]";
}

// The steps a child reported committed, in order.
std::vector<uint64_t> committedSteps(const std::string& output) {
    std::vector<uint64_t> steps;
    const std::string prefix = "[committed ";
    for (size_t at = output.find(prefix); at != std::string::npos;
         at = output.find(prefix, at + 1)) {
        steps.push_back(std::stoull(output.substr(at + prefix.size())));
    }
    return steps;
}

// Starts a child run for `request` (see LogCrashInChild.Run).
std::optional<ChildProcess> startChild(const std::string& request) {
    auto child = holm::test::startChildRun(
        {holm::platform::executablePath(), "--gtest_filter=LogCrashInChild.Run"},
        {"HOLM_LOG_CRASH_CHILD=" + request});
    EXPECT_TRUE(child.ok()) << child.error().message();
    return child ? std::optional(std::move(*child)) : std::nullopt;
}

std::string childRequest(const char* run, bool backup, uint64_t number, const fs::path& directory) {
    return std::string(run) + (backup ? " 1 " : " 0 ") + std::to_string(number) + " " +
           holm::test::utf8(directory);
}

// Lines "<step> a" and "<step> b" of every entry, across the files oldest
// first; a torn line or entry fails the test.
std::vector<uint64_t> entriesIn(const fs::path& directory, bool trimmed) {
    std::vector<uint64_t> steps;
    for (const char* name :
         {"crash0004.log", "crash0003.log", "crash0002.log", "crash0001.log", "crash.log"}) {
        std::ifstream in(directory / name, std::ios::binary);
        if (!in) {
            continue;
        }
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string content = bytes.str();
        EXPECT_EQ(content.size() % 2, 0u) << name;
        // Empty when a kill came between creating a log and marking it; the
        // writer marks an empty file when it opens it.
        EXPECT_TRUE(content.empty() || content.starts_with("\xFF\xFE")) << name;
        std::u16string text;
        for (size_t i = 2; i + 1 < content.size(); i += 2) {
            text.push_back(static_cast<char16_t>(static_cast<uint8_t>(content[i]) |
                                                 static_cast<uint8_t>(content[i + 1]) << 8));
        }
        EXPECT_TRUE(text.empty() || text.ends_with(u"\r\n")) << "a torn line in " << name;
        std::istringstream lines(holm::common::utf16ToUtf8(text));
        std::optional<uint64_t> open;
        bool first = true;
        for (std::string line; std::getline(lines, line); first = false) {
            unsigned long long step = 0;
            char part = 0;
            EXPECT_EQ(std::sscanf(line.c_str(), "%llu %c", &step, &part), 2) << line;
            if (part == 'a') {
                EXPECT_FALSE(open.has_value()) << "an entry without its second line in " << name;
                open = step;
            } else if (trimmed && first && name == std::string("crash.log")) {
                // Trimming keeps whole lines, not whole entries: the oldest
                // entry kept may have lost its first line.
            } else {
                EXPECT_EQ(open, step) << "a second line without its first in " << name;
                steps.push_back(step);
                open.reset();
            }
        }
        EXPECT_FALSE(open.has_value()) << "a torn entry at the end of " << name;
    }
    return steps;
}

// ---- random kills ---------------------------------------------------------
//
// A child commits entries "<step> a" / "<step> b" from a given step on until
// it is killed, with a new writer every 25 entries: each writer's first
// commit checks the size, so rollovers happen between commits, where a kill
// can land. Each run is killed once the child reported a random number (1 to
// 400) of entries committed, while it goes on writing.

constexpr int64_t kRandomMaximum = 4000;  // small enough for a rollover every few runs

bool commitRandomStep(CHlmPlgLogImpl& log, uint64_t step) {
    HlmPlg::ILogEvent* event = log.createEvent();
    event->addLine(1, 0, 0, u"%llu a", static_cast<unsigned long long>(step));
    event->addLine(1, 0, 0, u"%llu b", static_cast<unsigned long long>(step));
    log.commitEvent(&event);
    return log.getLastError() == 0;
}

void writeUntilKilled(const fs::path& path, bool backup, uint64_t firstStep) {
    const std::u16string name = holm::test::u16(path);
    std::unique_ptr<CHlmPlgLogImpl> log;
    for (uint64_t step = firstStep;; ++step) {
        if (!log || step % 25 == 0) {
            log.reset();
            log = std::make_unique<CHlmPlgLogImpl>(nullptr, withoutAsync());
            ASSERT_TRUE(log->open(name.c_str(), 1, kRandomMaximum, backup));
        }
        ASSERT_TRUE(commitRandomStep(*log, step)) << log->getLastError();
        reportCommitted(step);
    }
}

void crashWhileWriting(bool backup) {
    holm::test::TempDir directory;
    const fs::path path = directory.path() / "crash.log";
    std::mt19937 random(20261207);
    std::uniform_int_distribution<uint64_t> stepsBeforeKill(1, 400);
    uint64_t step = 0;  // runs continue where the last one stopped
    for (int run = 0, runs = crashRuns(); run < runs; ++run) {
        SCOPED_TRACE(::testing::Message() << "run " << run);
        auto child = startChild(childRequest("writer", backup, step, directory.path()));
        ASSERT_TRUE(child);
        const uint64_t wanted = step + stepsBeforeKill(random);
        const bool reached = child->waitForOutput(committedText(wanted - 1), kChildDeadline);
        child->kill();
        const auto ended = child->wait(kChildDeadline);
        ASSERT_TRUE(reached) << "the writer stopped:\n" << child->output();
        ASSERT_EQ(ended, kKilled) << "the writer ended on its own:\n" << child->output();
        const auto reported = committedSteps(child->output());
        ASSERT_FALSE(reported.empty());
        for (size_t i = 0; i < reported.size(); ++i) {
            ASSERT_EQ(reported[i], step + i);
        }
        step += reported.size();

        // The next writer opens the files (cutting off what a killed write
        // left of an entry), then they are read.
        {
            CHlmPlgLogImpl next(nullptr, withoutAsync());
            ASSERT_TRUE(next.open(holm::test::u16(path).c_str(), 1, kRandomMaximum, backup));
        }
        const auto steps = entriesIn(directory.path(), !backup);
        ASSERT_FALSE(steps.empty());
        // A contiguous run ending at the last completed entry or the one after.
        EXPECT_TRUE(steps.back() + 1 == step || steps.back() == step)
            << "last " << steps.back() << ", completed " << step;
        for (size_t i = 1; i < steps.size(); ++i) {
            ASSERT_TRUE(steps[i] == steps[i - 1] + 1 || steps[i] == steps[i - 1])
                << "entry " << steps[i] << " after " << steps[i - 1];
        }
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

TEST(LogCrash, BackupModeKeepsEveryReturnedEntryWhole) {
    crashWhileWriting(true);
}

TEST(LogCrash, TrimModeKeepsEveryReturnedEntryWhole) {
    crashWhileWriting(false);
}

// ---- a deterministic sweep of kill points --------------------------------
//
// A child writes entries (a new writer every four, so that each first commit
// checks the size and rolls the file over) and ends itself at the k-th point
// of what it hands the system: before an open, a flush or a rename, and
// before a write, or where the system may stop a write when its process is
// killed (write_cuts.h), with the part before in the file. Then another
// writer opens the files and commits one entry. Every k is tried, until the
// child finishes without reaching its point; every state must read as whole
// entries in order, holding every entry whose commit returned.

constexpr uint64_t kFirstStep = 1000;
constexpr uint64_t kSweepSteps = 12;
constexpr uint64_t kMarkerStep = 999999;
constexpr int64_t kSweepMaximum = 8000;
std::atomic<int64_t> pointsBeforeKill{-1};

// Whether the child has come to its kill point: the call about to be made
// is the one the child ends before.
bool reachesKillPoint() {
    return pointsBeforeKill.load() >= 0 && pointsBeforeKill.fetch_sub(1) == 0;
}

[[noreturn]] void killHere() {
    holm::platform::exitImmediately(kKilled);
}

const io::SystemCalls& sweepCalls() {
    static const io::SystemCalls calls{
        [](int directory, const char* name, int flags, io::mode_t mode) {
            if (reachesKillPoint()) {
                killHere();
            }
            return io::realSystemCalls().openat(directory, name, flags, mode);
        },
        io::realSystemCalls().read,
        io::realSystemCalls().pread,
        [](int fd, const void* buffer, size_t size) {
            const auto info = holm::platform::statDescriptor(fd);
            // The log appends; a replacement is written from its start on:
            // either way a write goes to the end of the file.
            const uint64_t at = info ? info->size : 0;
            for (const size_t cut : holm::test::killCutsOfAWrite(at, size)) {
                if (reachesKillPoint()) {
                    if (cut > 0) {
                        (void)io::realSystemCalls().write(fd, buffer, cut);
                    }
                    killHere();
                }
            }
            return io::realSystemCalls().write(fd, buffer, size);
        },
        [](int fd) {
            if (reachesKillPoint()) {
                killHere();
            }
            return io::realSystemCalls().fsync(fd);
        },
        [](int from, const char* old, int to, const char* target, unsigned flags) {
            if (reachesKillPoint()) {
                killHere();
            }
            return io::realSystemCalls().renameat2(from, old, to, target, flags);
        },
        io::realSystemCalls().mkdirat,
        io::realSystemCalls().unlinkat,
    };
    return calls;
}

// A UTF-16 file of whole entries "<step> a <padding>" / "<step> b", about
// 1.2 kB each, so that entries span pages often.
std::u16string padding() {
    return std::u16string(280, u'x');
}

bool commitSweepStep(CHlmPlgLogImpl& log, uint64_t step) {
    HlmPlg::ILogEvent* event = log.createEvent();
    event->addLine(1, 0, 0, u"%llu a %s", static_cast<unsigned long long>(step), padding().c_str());
    event->addLine(1, 0, 0, u"%llu b %s", static_cast<unsigned long long>(step), padding().c_str());
    log.commitEvent(&event);
    return log.getLastError() == 0;
}

std::unique_ptr<CHlmPlgLogImpl> openSweepWriter(const fs::path& path, bool backup) {
    auto log = std::make_unique<CHlmPlgLogImpl>(nullptr, withoutAsync());
    if (!log->open(holm::test::u16(path).c_str(), 1, kSweepMaximum, backup)) {
        return nullptr;
    }
    return log;
}

void writeToKillPoint(const fs::path& path, bool backup, int64_t point) {
    io::ScopedSystemCalls killing(sweepCalls());
    pointsBeforeKill = point;
    std::unique_ptr<CHlmPlgLogImpl> log;
    for (uint64_t step = kFirstStep; step < kFirstStep + kSweepSteps; ++step) {
        if (!log || step % 4 == 0) {
            log.reset();
            log = openSweepWriter(path, backup);
            ASSERT_TRUE(log) << "step " << step;
        }
        ASSERT_TRUE(commitSweepStep(*log, step)) << "step " << step;
        reportCommitted(step);
    }
}

// Kills at point `point`; true when the child finished before reaching it.
bool killAtPoint(bool backup, int64_t point) {
    holm::test::TempDir directory;
    const fs::path path = directory.path() / "crash.log";
    {
        // Above the maximum: the first commit trims or backs up.
        std::u16string text = u"\xFEFF";
        for (uint64_t step = kFirstStep - 10; step < kFirstStep; ++step) {
            for (const char16_t* part : {u" a ", u" b "}) {
                text +=
                    holm::common::utf8ToUtf16(std::to_string(step)) + part + padding() + u"\r\n";
            }
        }
        std::string bytes;
        for (const char16_t unit : text) {
            bytes.push_back(static_cast<char>(unit & 0xFF));
            bytes.push_back(static_cast<char>(unit >> 8));
        }
        directory.write("crash.log", bytes);
    }
    auto child = startChild(childRequest("sweep", backup, point, directory.path()));
    if (!child) {
        return true;
    }
    const auto ended = child->wait(kChildDeadline);
    const auto reported = committedSteps(child->output());
    EXPECT_TRUE(ended == 0 || ended == kKilled) << "the writer failed at point " << point << ":\n"
                                                << child->output();
    for (size_t i = 0; i < reported.size(); ++i) {
        EXPECT_EQ(reported[i], kFirstStep + i);
    }
    const uint64_t completed = reported.size();
    {
        const auto log = openSweepWriter(path, backup);
        EXPECT_TRUE(log && commitSweepStep(*log, kMarkerStep));
    }
    SCOPED_TRACE(::testing::Message()
                 << "kill point " << point << ", " << completed << " commits returned");
    const auto steps = entriesIn(directory.path(), !backup);
    EXPECT_FALSE(fs::exists(directory.path() / "crash.log.tmp"));
    if (steps.size() < 2) {
        ADD_FAILURE() << "entries lost";
        return true;
    }
    EXPECT_EQ(steps.back(), kMarkerStep);
    const uint64_t last = steps[steps.size() - 2];
    // Every returned entry, and perhaps the one whose commit was cut short.
    EXPECT_TRUE(last + 1 == kFirstStep + completed || last == kFirstStep + completed)
        << "last " << last;
    for (size_t i = 1; i + 1 < steps.size(); ++i) {
        EXPECT_EQ(steps[i], steps[i - 1] + 1) << "entry " << steps[i] << " after " << steps[i - 1];
    }
    return ended == 0;
}

void sweepKillPoints(bool backup) {
    for (int64_t point = 0; point < 400; ++point) {
        const bool finished = killAtPoint(backup, point);
        if (::testing::Test::HasFailure()) {
            return;
        }
        if (finished) {
            ASSERT_GT(point, 20) << "too few kill points to be a sweep";
            return;
        }
    }
    FAIL() << "the writer never finished";
}

TEST(LogKillSweep, TrimModeLeavesWholeEntriesAtEveryPoint) {
    sweepKillPoints(false);
}

TEST(LogKillSweep, BackupModeLeavesWholeEntriesAtEveryPoint) {
    sweepKillPoints(true);
}

// The child run of both: HOLM_LOG_CRASH_CHILD is "<run> <mode> <number>
// <directory>", mode 1 for backups and 0 for trimming; run "writer" commits
// entries from step <number> on to crash.log in the directory until it is
// killed, run "sweep" commits kSweepSteps entries and ends itself at kill
// point <number>.
TEST(LogCrashInChild, Run) {
    const char* request = std::getenv("HOLM_LOG_CRASH_CHILD");
    if (request == nullptr) {
        GTEST_SKIP() << "runs only as a child of the LogCrash and LogKillSweep tests";
    }
    std::istringstream in(request);
    std::string run;
    int backup = 0;
    uint64_t number = 0;
    ASSERT_TRUE(in >> run >> backup >> number) << request;
    in.get();
    std::string directory;
    std::getline(in, directory);
    const fs::path path = holm::test::pathOfUtf8(directory) / "crash.log";
    if (run == "writer") {
        writeUntilKilled(path, backup != 0, number);
    } else if (run == "sweep") {
        writeToKillPoint(path, backup != 0, static_cast<int64_t>(number));
    } else {
        FAIL() << "no such run: " << run;
    }
}

}  // namespace
