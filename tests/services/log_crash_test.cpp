// A report writer killed with SIGKILL at random points during commits and
// rollovers (both modes): every entry whose commit returned is in one of the
// files, unless size control dropped it as one of the oldest; no line or
// entry is torn, and the entries read in commit order without a gap. (An
// entry written by a child killed before it could report it is written again
// by the next child: the same step may appear twice at a run's boundary.)
//
// HOLM_CRASH_RUNS sets the number of runs (a short run by default; the test
// labelled "long" runs 1000).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/utf16.h"
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
        std::istringstream lines(holm::text::utf16ToUtf8(text));
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

void crashWhileWriting(bool backup) {
    holm::test::TempDir directory;
    const fs::path path = directory.path() / "crash.log";
    const std::u16string name = holm::text::utf8ToUtf16(path.string());
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

}  // namespace
