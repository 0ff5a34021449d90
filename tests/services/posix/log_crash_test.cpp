// A report writer killed with SIGKILL at random points during commits and
// rollovers (both modes): every entry whose commit returned is in one of the
// files, unless size control dropped it as one of the oldest; no line or
// entry is torn, and the entries read in commit order without a gap, as the
// next writer finds them: a kill inside a write that spans a page boundary
// leaves the entry's first pages, which the next writer to open the file
// cuts off (each check opens the file in a child first). (An
// entry written by a child killed before it could report it is written again
// by the next child: the same step may appear twice at a run's boundary.)
//
// HOLM_CRASH_RUNS sets the number of runs (a short run by default; the test
// labelled "long" runs 1000).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "platform/io.h"
#include "platform/posix/system_calls.h"
#include "services/log_impl.h"
#include "support/crash_writer.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::services::CHlmPlgLogImpl;

int crashRuns() {
    const char* runs = std::getenv("HOLM_CRASH_RUNS");
    return runs != nullptr && std::atoi(runs) > 0 ? std::atoi(runs) : 15;
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
            uint64_t step = 0;
            char part = 0;
            EXPECT_EQ(std::sscanf(line.c_str(), "%lu %c", &step, &part), 2) << line;
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

// Runs `body` in a child; its exit code, or -1 when a signal ended it. What
// the child writes to `progress` is counted into `reported`.
template <typename Body>
int inChild(Body body, uint64_t& reported) {
    int progress[2];
    if (::pipe2(progress, O_CLOEXEC) != 0) {
        return -2;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(progress[0]);
        ::_exit(body(progress[1]));
    }
    ::close(progress[1]);
    char done = 0;
    while (::read(progress[0], &done, 1) == 1) {
        ++reported;
    }
    ::close(progress[0]);
    const int status = holm::platform::io::reapChild(child).valueOr(-1);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void crashWhileWriting(bool backup) {
    holm::test::TempDir directory;
    const fs::path path = directory.path() / "crash.log";
    const std::u16string name = holm::common::utf8ToUtf16(path.string());
    std::unique_ptr<CHlmPlgLogImpl> log;  // made in each child
    auto write = [&](uint64_t step) {
        // A new writer every 25 entries checks the size at its first commit,
        // so rollovers happen between commits, where a kill can land.
        if (!log || step % 25 == 0) {
            log.reset();
            log = std::make_unique<CHlmPlgLogImpl>(
                nullptr, CHlmPlgLogImpl::AsyncHolder(nullptr, [](HlmPlg::IAsync*) {}));
            // Small enough that rollovers happen every few runs.
            if (!log->open(name.c_str(), 1, 4000, backup)) {
                return false;
            }
        }
        HlmPlg::ILogEvent* event = log->createEvent();
        event->addLine(1, 0, 0, u"%llu a", static_cast<unsigned long long>(step));
        event->addLine(1, 0, 0, u"%llu b", static_cast<unsigned long long>(step));
        log->commitEvent(&event);
        return log->getLastError() == 0;
    };
    auto check = [&](uint64_t completed) {
        uint64_t ignored = 0;
        ASSERT_EQ(inChild(
                      [&](int) {
                          CHlmPlgLogImpl next(nullptr, CHlmPlgLogImpl::AsyncHolder(
                                                           nullptr, [](HlmPlg::IAsync*) {}));
                          return next.open(name.c_str(), 1, 4000, backup) ? 0 : 2;
                      },
                      ignored),
                  0);
        const auto steps = entriesIn(directory.path(), !backup);
        ASSERT_FALSE(steps.empty());
        // A contiguous run ending at the last completed entry or the one after.
        EXPECT_TRUE(steps.back() + 1 == completed || steps.back() == completed)
            << "last " << steps.back() << ", completed " << completed;
        for (size_t i = 1; i < steps.size(); ++i) {
            ASSERT_TRUE(steps[i] == steps[i - 1] + 1 || steps[i] == steps[i - 1])
                << "entry " << steps[i] << " after " << steps[i - 1];
        }
    };
    holm::test::killWriterAtRandomPoints(
        write, check, {.runs = crashRuns(), .maxStepsBeforeKill = 400, .seed = 20261207});
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
// checks the size and rolls the file over) and kills itself at the k-th
// point of what it hands the system: before an open, a flush or a rename,
// and before each page of a write. The kernel copies a write page by page
// and stops at a page boundary when the process is killed, so a kill before
// a later page leaves the write's earlier pages in the file. Then another
// writer opens the files and commits one entry. Every k is tried, until the
// child finishes without reaching its point; every state must read as whole
// entries in order, holding every entry whose commit returned.

namespace io = holm::platform::io;

constexpr size_t kSweepPage = 4096;
constexpr uint64_t kFirstStep = 1000;
constexpr uint64_t kMarkerStep = 999999;
int64_t pointsBeforeKill = -1;

bool reachesPoint() {
    if (pointsBeforeKill < 0) {
        return false;
    }
    return pointsBeforeKill-- == 0;
}

uint64_t writeOffset(int fd) {
    struct stat info {};
    if ((::fcntl(fd, F_GETFL) & O_APPEND) != 0 && ::fstat(fd, &info) == 0) {
        return static_cast<uint64_t>(info.st_size);
    }
    return static_cast<uint64_t>(::lseek(fd, 0, SEEK_CUR));
}

const io::SystemCalls& sweepCalls() {
    static const io::SystemCalls calls{
        [](int directory, const char* name, int flags, mode_t mode) {
            if (reachesPoint()) {
                ::raise(SIGKILL);
            }
            return io::realSystemCalls().openat(directory, name, flags, mode);
        },
        io::realSystemCalls().read,
        io::realSystemCalls().pread,
        [](int fd, const void* buffer, size_t size) -> ssize_t {
            const uint64_t at = writeOffset(fd);
            for (size_t done = 0; done < size;) {
                if (reachesPoint()) {
                    if (done > 0) {
                        (void)io::realSystemCalls().write(fd, buffer, done);
                    }
                    ::raise(SIGKILL);
                }
                done += std::min(size - done, kSweepPage - (at + done) % kSweepPage);
            }
            return io::realSystemCalls().write(fd, buffer, size);
        },
        [](int fd) {
            if (reachesPoint()) {
                ::raise(SIGKILL);
            }
            return io::realSystemCalls().fsync(fd);
        },
        [](int from, const char* old, int to, const char* target, unsigned flags) {
            if (reachesPoint()) {
                ::raise(SIGKILL);
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

bool commitStep(CHlmPlgLogImpl& log, uint64_t step) {
    HlmPlg::ILogEvent* event = log.createEvent();
    event->addLine(1, 0, 0, u"%llu a %s", static_cast<unsigned long long>(step), padding().c_str());
    event->addLine(1, 0, 0, u"%llu b %s", static_cast<unsigned long long>(step), padding().c_str());
    log.commitEvent(&event);
    return log.getLastError() == 0;
}

std::unique_ptr<CHlmPlgLogImpl> openWriter(const fs::path& path, bool backup) {
    auto log = std::make_unique<CHlmPlgLogImpl>(
        nullptr, CHlmPlgLogImpl::AsyncHolder(nullptr, [](HlmPlg::IAsync*) {}));
    const std::u16string name = holm::common::utf8ToUtf16(path.string());
    if (!log->open(name.c_str(), 1, 8000, backup)) {
        return nullptr;
    }
    return log;
}

// Kills at point `point`; true when the child finished before reaching it.
bool killAtPoint(bool backup, int64_t point) {
    holm::test::TempDir directory;
    const fs::path path = directory.path() / "crash.log";
    {
        // Above the maximum: the first commit trims or backs up.
        std::u16string text = u"\xFEFF";
        for (uint64_t step = 0; step < kFirstStep; ++step) {
            if (step + 10 < kFirstStep) {
                continue;
            }
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
    constexpr uint64_t kSteps = 12;
    uint64_t completed = 0;
    const int ended = inChild(
        [&](int progress) {
            io::ScopedSystemCalls killing(sweepCalls());
            pointsBeforeKill = point;
            std::unique_ptr<CHlmPlgLogImpl> log;
            for (uint64_t step = kFirstStep; step < kFirstStep + kSteps; ++step) {
                if (!log || step % 4 == 0) {
                    log.reset();
                    log = openWriter(path, backup);
                }
                const char done = 1;
                if (!log || !commitStep(*log, step) || ::write(progress, &done, 1) != 1) {
                    return 2;
                }
            }
            return 0;
        },
        completed);
    EXPECT_TRUE(ended == 0 || ended == -1) << "the writer failed at point " << point;
    uint64_t ignored = 0;
    EXPECT_EQ(inChild(
                  [&](int) {
                      const auto log = openWriter(path, backup);
                      return log && commitStep(*log, kMarkerStep) ? 0 : 2;
                  },
                  ignored),
              0);
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

}  // namespace
