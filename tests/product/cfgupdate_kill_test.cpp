// The configuration file after an updater that was killed: the old content
// or the new, never a mix. The updater runs in a child run of this program
// (the child entries below), ended by this process or at a kill point of
// its own (support/child_writer.h).
//
// A child run starts a process, which Wine does far more slowly than Linux
// (some 0.2 s against 10 ms): Windows runs fewer kill points.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "common/utf16.h"
#include "platform/io.h"
#include "platform/process_info.h"
#include "platform/signals.h"
#include "platform/spawn.h"
#include "platform/system_calls.h"
#include "product/cfgupdate/update_commands.h"
#include "product/support/cfgupdate_fixture.h"
#include "support/child_writer.h"
#include "support/test_support.h"

namespace holm::product::cfgupdate {
namespace {

namespace fs = std::filesystem;
using fixture::CfgUpdateFileTest;
using fixture::commandFile;
using fixture::kOriginal;
using product::cfglib::IniDocument;

// A deadline for a child that hangs, never reached by a working one.
constexpr auto kChildDeadline = std::chrono::seconds(60);

// One updater run per step: HOLM_CFGUPDATE_CONFIG names the configuration
// file; step n sets HOLM\Step to n + 1 through a command file of its own
// beside it.
TEST(CfgUpdateWriterInChild, Run) {
    const char* config = std::getenv("HOLM_CFGUPDATE_CONFIG");
    if (config == nullptr) {
        GTEST_SKIP() << "runs only as a child of CfgUpdateFileTest";
    }
    const fs::path configPath = holm::test::pathOfUtf8(config);
    holm::test::runWriterSteps([&](uint64_t step) {
        const fs::path commands = configPath.parent_path() / ("commands" + std::to_string(step));
        std::ofstream(commands) << commandFile({"HOLM:Step=" + std::to_string(step + 1)});
        return updateConfiguration(holm::test::utf8(commands), config).exitCode == kExitApplied;
    });
}

// The updater killed between or inside its runs, one run per step: the file
// holds the value of the last finished step or of the one after it.
TEST_F(CfgUpdateFileTest, AKilledUpdaterLeavesTheOldOrTheNewFile) {
    const auto stepIn = [&]() -> std::u16string {
        const IniDocument document = IniDocument::parse(holm::test::bytesOf(config_));
        return std::u16string(document.find(u"HOLM\\Step").value_or(u"none"));
    };
    const auto check = [&](uint64_t completed) {
        const std::u16string step = stepIn();
        const auto named = [](uint64_t n) { return holm::common::utf8ToUtf16(std::to_string(n)); };
        EXPECT_TRUE(step == named(completed + 1) ||
                    (completed == 0 ? step == u"none" : step == named(completed)))
            << "step " << completed;
    };
    holm::test::killChildWriterAtRandomPoints(
        {"CfgUpdateWriterInChild.Run", {"HOLM_CFGUPDATE_CONFIG=" + holm::test::utf8(config_)}},
        check, {.runs = holm::test::onWindows() ? 6 : 12});
}

// Kill points chosen through the I/O seam: the updater dies at a random
// byte of its write of the new file, or at one of its opens, flushes or its
// rename. Flushes are counted but not carried out: they guard against power
// loss, not against a killed process, and 1,000 of them would only slow the
// test down.
int killRuns() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 60;  // a sanitized child takes tens of milliseconds to start
#else
    return holm::test::onWindows() ? 40 : 1000;
#endif
}

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
            [](int directory, const char* name, int flags, auto mode) {
                event(1);
                return realSystemCalls().openat(directory, name, flags, mode);
            },
            [](int fd, void* buffer, size_t size) {
                return realSystemCalls().read(fd, buffer, size);
            },
            [](int fd, void* buffer, size_t size, auto offset) {
                return realSystemCalls().pread(fd, buffer, size, offset);
            },
            [](int fd, const void* buffer, size_t size) -> ssize_t {
                const uint64_t allowed = room();
                if (allowed < size) {
                    (void)realSystemCalls().write(fd, buffer, allowed);
                    holm::test::endWriterHere();
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
            holm::test::endWriterHere();
        }
        state().events += count;
    }
};

// One updater run that dies at kill point HOLM_CFGUPDATE_KILL_AT, applying
// HOLM_CFGUPDATE_COMMANDS to HOLM_CFGUPDATE_CONFIG; a run that gets to its
// end exits with the updater's code.
TEST(CfgUpdateKillInChild, Run) {
    const char* killAt = std::getenv("HOLM_CFGUPDATE_KILL_AT");
    const char* commands = std::getenv("HOLM_CFGUPDATE_COMMANDS");
    const char* config = std::getenv("HOLM_CFGUPDATE_CONFIG");
    if (killAt == nullptr || commands == nullptr || config == nullptr) {
        GTEST_SKIP() << "runs only as a child of CfgUpdateFileTest";
    }
    KillPoint::arm(std::strtoull(killAt, nullptr, 10), false);
    platform::io::ScopedSystemCalls seam(KillPoint::table());
    platform::exitImmediately(updateConfiguration(commands, config).exitCode);
}

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

    const int runs = killRuns();
    std::mt19937_64 random(20261207);
    int oldSeen = 0;
    int newSeen = 0;
    for (int run = 0; run < runs; ++run) {
        const bool startOld = run % 2 == 0;  // the file before the run: old or already new
        {
            std::ofstream(dir_.path() / "next", std::ios::trunc | std::ios::binary)
                << (startOld ? kOriginal : updated);
            fs::rename(dir_.path() / "next", config_);
        }
        const uint64_t budget = random() % points;
        const auto child = platform::runProcess(
            {platform::executablePath(), "--gtest_filter=CfgUpdateKillInChild.Run"},
            {"HOLM_CFGUPDATE_KILL_AT=" + std::to_string(budget),
             "HOLM_CFGUPDATE_COMMANDS=" + holm::test::utf8(commands_),
             "HOLM_CFGUPDATE_CONFIG=" + holm::test::utf8(config_)},
            kChildDeadline);
        ASSERT_EQ(child.exitCode, holm::test::kWriterEndedItself)
            << "run " << run << " did not end at kill point " << budget << " of " << points << ":\n"
            << child.output;
        const std::string content = holm::test::bytesOf(config_);
        ASSERT_TRUE(content == kOriginal || content == updated)
            << "run " << run << ": a mixed file after a kill at point " << budget;
        (content == kOriginal ? oldSeen : newSeen)++;
        ASSERT_TRUE(startOld || content == updated) << "run " << run << ": a new file went back";
    }
    // Kills fell both before and after the rename.
    EXPECT_GT(oldSeen, 0);
    EXPECT_GE(newSeen, runs / 2);
}

}  // namespace
}  // namespace holm::product::cfgupdate
