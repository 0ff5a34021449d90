// A block-mode INI file whose close, a profile-mode edit and a text file's
// rewrite, each killed (SIGKILL) at any point, leave the old content or the
// new one, never a mixture; the file loads cleanly, and the next write
// leaves no temporary file behind.
//
// The kill points are byte offsets into what the writer hands the system:
// the child counts the bytes it writes (and its flushes and renames) through
// the I/O module's system-call table and kills itself at a chosen one,
// possibly in the middle of a write. The parent may also kill the child
// wherever it is after a number of completed closes.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "common/utf16.h"
#include "containers/ini_file.h"
#include "containers/string_list.h"
#include "containers/text_file.h"
#include "platform/posix/system_calls.h"
#include "support/crash_writer.h"
#include "support/test_support.h"

namespace {

using holm::containers::CIniFileImpl;
using holm::containers::CStringListImpl;
using holm::containers::CTxtFileImpl;

namespace io = holm::platform::io;

constexpr int kKeys = 200;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRuns = 40;
#else
constexpr int kRuns = 1000;
#endif

// What is left to write before the child kills itself; only the child sets
// it.
int64_t bytesBeforeKill = -1;

// Counts `amount` toward the kill point; true when the point is reached.
bool reachesKillPoint(int64_t amount) {
    if (bytesBeforeKill < 0) {
        return false;
    }
    bytesBeforeKill -= amount;
    return bytesBeforeKill < 0;
}

const io::SystemCalls& killingCalls() {
    static const io::SystemCalls calls{
        io::realSystemCalls().openat,
        io::realSystemCalls().read,
        io::realSystemCalls().pread,
        [](int fd, const void* buffer, size_t size) -> ssize_t {
            const int64_t left = bytesBeforeKill;
            if (reachesKillPoint(static_cast<int64_t>(size))) {
                // Part of the bytes reach the file, then the process dies.
                (void)io::realSystemCalls().write(fd, buffer, static_cast<size_t>(left));
                ::raise(SIGKILL);
            }
            return io::realSystemCalls().write(fd, buffer, size);
        },
        [](int fd) {
            if (reachesKillPoint(1)) {
                ::raise(SIGKILL);
            }
            return io::realSystemCalls().fsync(fd);
        },
        [](int from, const char* old, int to, const char* target, unsigned flags) {
            if (reachesKillPoint(1)) {
                ::raise(SIGKILL);
            }
            return io::realSystemCalls().renameat2(from, old, to, target, flags);
        },
        io::realSystemCalls().mkdirat,
        io::realSystemCalls().unlinkat,
    };
    return calls;
}

std::u16string keyOf(int n) {
    return u"key" + holm::common::utf8ToUtf16(std::to_string(n));
}

std::u16string versionOf(uint64_t version) {
    return u"version " + holm::common::utf8ToUtf16(std::to_string(version));
}

// Every key of the file names the version that wrote it.
bool writeVersion(const std::u16string& path, uint64_t version) {
    CIniFileImpl ini;
    if (!ini.open(path.c_str(), true)) {
        return false;
    }
    for (int n = 0; n < kKeys; ++n) {
        ini.setString(u"Crash", keyOf(n).c_str(), versionOf(version).c_str());
    }
    return ini.close();
}

// Every key of the file holds the version of the last completed write or
// of the one after it, the same in all keys.
void expectOneVersion(const std::u16string& path, bool blockMode, uint64_t completed) {
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(path.c_str(), blockMode));
    const std::u16string first = ini.getString(u"Crash", keyOf(0).c_str(), u"missing");
    EXPECT_TRUE(first == versionOf(completed) || first == versionOf(completed + 1))
        << "lost file after " << completed << " writes";
    for (int n = 1; n < kKeys; ++n) {
        ASSERT_EQ(std::u16string(ini.getString(u"Crash", keyOf(n).c_str(), u"missing")), first)
            << "mixed file after " << completed << " writes";
    }
}

TEST(IniCrashTest, AKilledCloseLeavesTheOldOrTheNewFile) {
    holm::test::TempDir dir;
    const std::u16string path = (dir.path() / "crash.ini").u16string();
    ASSERT_TRUE(writeVersion(path, 0));
    const auto fileSize =
        static_cast<int64_t>(std::filesystem::file_size(dir.path() / "crash.ini"));

    const auto write = [&](uint64_t step) {
        static io::ScopedSystemCalls killing(killingCalls());
        // A point anywhere in the write, its flush and its rename, or none
        // (a third of the closes complete).
        std::mt19937_64 random(step);
        bytesBeforeKill = std::uniform_int_distribution<int64_t>(0, fileSize * 3 / 2)(random);
        return writeVersion(path, step + 1);
    };
    const auto check = [&](uint64_t completed) { expectOneVersion(path, true, completed); };
    holm::test::killWriterAtRandomPoints(write, check, {.runs = kRuns, .maxStepsBeforeKill = 3});
}

// The temporary files left in `directory`.
size_t leftovers(const std::filesystem::path& directory) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        count += entry.path().filename().string().find(".tmp-") != std::string::npos ? 1 : 0;
    }
    return count;
}

// The versions as a list of kKeys equal lines.
void fillVersion(CStringListImpl& lines, uint64_t version) {
    lines.clear();
    for (int n = 0; n < kKeys; ++n) {
        lines.add(versionOf(version).c_str());
    }
}

// One atomic rewrite per step, the kill point anywhere in its write, flush
// and rename; `check` reads what survived and writes once more unkilled.
void sweepKillPoints(const std::filesystem::path& file,
                     const std::function<bool(uint64_t version)>& writeVersionOf,
                     const std::function<void(uint64_t completed)>& check) {
    ASSERT_TRUE(writeVersionOf(0));
    const auto fileSize = static_cast<int64_t>(std::filesystem::file_size(file));
    const auto write = [&](uint64_t step) {
        static io::ScopedSystemCalls killing(killingCalls());
        std::mt19937_64 random(step);
        bytesBeforeKill = std::uniform_int_distribution<int64_t>(0, fileSize * 3 / 2)(random);
        return writeVersionOf(step + 1);
    };
    const auto checkAndSweep = [&](uint64_t completed) {
        check(completed);
        ASSERT_TRUE(writeVersionOf(completed + 1));
        EXPECT_EQ(leftovers(file.parent_path()), 0u) << "after " << completed << " writes";
    };
    holm::test::killWriterAtRandomPoints(write, checkAndSweep,
                                         {.runs = kRuns / 4, .maxStepsBeforeKill = 3});
}

TEST(IniCrashTest, AKilledProfileEditLeavesTheOldOrTheNewFile) {
    holm::test::TempDir dir;
    const auto file = dir.path() / "profile.ini";
    const std::u16string path = file.u16string();
    const auto writeProfile = [&](uint64_t version) {
        CStringListImpl values;
        fillVersion(values, version);
        CIniFileImpl ini;
        // The whole list is one rewrite of the file.
        return ini.open(path.c_str(), false) &&
               ini.setStringList(u"Crash", u"key", &values, nullptr);
    };
    sweepKillPoints(file, writeProfile,
                    [&](uint64_t completed) { expectOneVersion(path, false, completed); });
}

TEST(IniCrashTest, AKilledTextRewriteLeavesTheOldOrTheNewFile) {
    holm::test::TempDir dir;
    const auto file = dir.write("lines.txt", "");
    const std::u16string path = file.u16string();
    const auto writeText = [&](uint64_t version) {
        CStringListImpl lines;
        fillVersion(lines, version);
        CTxtFileImpl text;
        return text.open(path.c_str(), true) && text.writeLines(&lines) && text.close();
    };
    sweepKillPoints(file, writeText, [&](uint64_t completed) {
        CTxtFileImpl text;
        CStringListImpl lines;
        ASSERT_TRUE(text.open(path.c_str(), false));
        ASSERT_TRUE(text.readLines(&lines));
        ASSERT_EQ(lines.getCount(), kKeys) << "torn file after " << completed << " rewrites";
        HlmPlg::IStringList::Iterator* iterator = lines.createIterator();
        const std::u16string first = iterator->first();
        EXPECT_TRUE(first == versionOf(completed) || first == versionOf(completed + 1))
            << "lost file after " << completed << " rewrites";
        for (const char16_t* line = iterator->next(); line != nullptr; line = iterator->next()) {
            EXPECT_EQ(std::u16string(line), first) << "mixed file after " << completed;
        }
        lines.releaseIterator(iterator);
    });
}

}  // namespace
