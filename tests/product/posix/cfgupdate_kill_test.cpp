// The configuration file after an updater that was killed (a child killed
// with SIGKILL): the old content or the new, never a mix.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "common/utf16.h"
#include "platform/io.h"
#include "platform/posix/system_calls.h"
#include "platform/spawn.h"
#include "product/cfgupdate/update_commands.h"
#include "product/support/cfgupdate_fixture.h"
#include "support/crash_writer.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace holm::product::cfgupdate {
namespace {

namespace fs = std::filesystem;
using fixture::CfgUpdateFileTest;
using fixture::commandFile;
using fixture::kOriginal;
using product::cfglib::IniDocument;

// The updater killed between or inside its runs, one run per step: the file
// holds the value of the last finished step or of the one after it.
TEST_F(CfgUpdateFileTest, AKilledUpdaterLeavesTheOldOrTheNewFile) {
    const auto stepIn = [&]() -> std::u16string {
        const IniDocument document = IniDocument::parse(holm::test::bytesOf(config_));
        return std::u16string(document.find(u"HOLM\\Step").value_or(u"none"));
    };
    const auto write = [&](uint64_t step) {
        const fs::path commands = dir_.path() / ("commands" + std::to_string(step));
        std::ofstream(commands) << commandFile({"HOLM:Step=" + std::to_string(step + 1)});
        return updateConfiguration(commands.string(), config_.string()).exitCode == kExitApplied;
    };
    const auto check = [&](uint64_t completed) {
        const std::u16string step = stepIn();
        const auto named = [](uint64_t n) { return holm::common::utf8ToUtf16(std::to_string(n)); };
        EXPECT_TRUE(step == named(completed + 1) ||
                    (completed == 0 ? step == u"none" : step == named(completed)))
            << "step " << completed;
    };
    holm::test::killWriterAtRandomPoints(write, check, {.runs = 12});
}

// Kill points chosen through the I/O seam: the updater dies at a random
// byte of its write of the new file, or at one of its opens, flushes or its
// rename. Flushes are counted but not carried out: they guard against power
// loss, not against a killed process, and 1,000 of them would only slow the
// test down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kKillRuns = 60;  // a fork of a sanitized process takes tens of milliseconds
#else
constexpr int kKillRuns = 1000;
#endif

class KillPoint {
  public:
    static void arm(uint64_t budget, bool dryRun) {
        state().budget = budget;
        state().dryRun = dryRun;
        state().events = 0;
    }
    static uint64_t events() { return state().events; }
    static const platform::io::SystemCalls& table() {
        using platform::io::realSystemCalls;
        static const platform::io::SystemCalls calls{
            [](int directory, const char* name, int flags, mode_t mode) {
                event(1);
                return realSystemCalls().openat(directory, name, flags, mode);
            },
            [](int fd, void* buffer, size_t size) {
                return realSystemCalls().read(fd, buffer, size);
            },
            [](int fd, void* buffer, size_t size, off_t offset) {
                return realSystemCalls().pread(fd, buffer, size, offset);
            },
            [](int fd, const void* buffer, size_t size) -> ssize_t {
                const uint64_t allowed = room();
                if (allowed < size) {
                    (void)realSystemCalls().write(fd, buffer, allowed);
                    ::raise(SIGKILL);
                }
                event(size);
                return realSystemCalls().write(fd, buffer, size);
            },
            [](int) {
                event(1);
                return 0;
            },
            [](int from, const char* old, int to, const char* target, unsigned flags) {
                event(1);
                return realSystemCalls().renameat2(from, old, to, target, flags);
            },
            realSystemCalls().mkdirat,
            realSystemCalls().unlinkat,
        };
        return calls;
    }

  private:
    struct State {
        uint64_t budget = 0;
        uint64_t events = 0;
        bool dryRun = true;
    };
    static State& state() {
        static State instance;
        return instance;
    }
    static uint64_t room() { return state().dryRun ? UINT64_MAX : state().budget - state().events; }
    static void event(uint64_t count) {
        if (room() < count) {
            ::raise(SIGKILL);
        }
        state().events += count;
    }
};

TEST_F(CfgUpdateFileTest, AThousandKillsAtRandomPointsNeverLeaveAMix) {
    std::vector<std::string> commands;
    for (int i = 0; i < 40; ++i) {
        commands.push_back("HOLM:Key" + std::to_string(i) + "=" + std::string(20, 'a' + i % 26));
    }
    commands.push_back("HOLM:Obsolete");
    std::ofstream(commands_) << commandFile(commands);

    // A run to the end counts the kill points and gives the new content.
    uint64_t points = 0;
    {
        KillPoint::arm(0, true);
        platform::io::ScopedSystemCalls seam(KillPoint::table());
        ASSERT_EQ(updateConfiguration(commands_.string(), config_.string()).exitCode, kExitApplied);
        points = KillPoint::events();
    }
    const std::string updated = holm::test::bytesOf(config_);
    ASSERT_NE(updated, kOriginal);
    ASSERT_GT(points, updated.size());

    std::mt19937_64 random(20261207);
    int oldSeen = 0;
    int newSeen = 0;
    for (int run = 0; run < kKillRuns; ++run) {
        const bool startOld = run % 2 == 0;  // the file before the run: old or already new
        {
            std::ofstream(dir_.path() / "next", std::ios::trunc)
                << (startOld ? kOriginal : updated);
            fs::rename(dir_.path() / "next", config_);
        }
        const uint64_t budget = random() % points;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            KillPoint::arm(budget, false);
            platform::io::ScopedSystemCalls seam(KillPoint::table());
            ::_exit(updateConfiguration(commands_.string(), config_.string()).exitCode);
        }
        const auto reaped = platform::io::reapChild(child);
        ASSERT_TRUE(reaped.ok()) << "run " << run << ": the child could not be reaped";
        const int status = *reaped;
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "run " << run << " ended on its own at kill point " << budget << " of " << points;
        const std::string content = holm::test::bytesOf(config_);
        ASSERT_TRUE(content == kOriginal || content == updated)
            << "run " << run << ": a mixed file after a kill at point " << budget;
        (content == kOriginal ? oldSeen : newSeen)++;
        ASSERT_TRUE(startOld || content == updated) << "run " << run << ": a new file went back";
    }
    // Kills fell both before and after the rename.
    EXPECT_GT(oldSeen, 0);
    EXPECT_GE(newSeen, kKillRuns / 2);
}

}  // namespace
}  // namespace holm::product::cfgupdate
