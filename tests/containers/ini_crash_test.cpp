// A block-mode INI file whose close, a profile-mode edit and a text file's
// rewrite, each killed at any point, leave the old content or the new one,
// never a mixture; the file loads cleanly, and the next write leaves no
// temporary file behind where the system sweeps them.
//
// The writer is a child run of this program (IniCrashInChild.Run, see
// support/child_writer.h). The kill points are byte offsets into what it
// hands the system: the child counts the bytes it writes (and its flushes
// and renames) through the I/O module's system-call table and ends itself
// at a chosen one, possibly in the middle of a write. The parent also ends
// the child wherever it is after a number of completed writes.
//
// A child run starts a process, which Wine does far more slowly than Linux
// (some 0.2 s against 10 ms): Windows runs fewer kill points.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "common/utf16.h"
#include "containers/ini_file.h"
#include "containers/string_list.h"
#include "containers/text_file.h"
#include "platform/system_calls.h"
#include "support/child_writer.h"
#include "support/test_support.h"

namespace {

using holm::containers::CIniFileImpl;
using holm::containers::CStringListImpl;
using holm::containers::CTxtFileImpl;

namespace io = holm::platform::io;

constexpr int kKeys = 200;

// Kill points of the block-mode close; the other writers get a quarter.
int runs() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 40;
#else
    return holm::test::onWindows() ? 40 : 1000;
#endif
}

// What is left to write before the child ends itself; only the child sets
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
                holm::test::endWriterHere();
            }
            return io::realSystemCalls().write(fd, buffer, size);
        },
        [](int fd) {
            if (reachesKillPoint(1)) {
                holm::test::endWriterHere();
            }
            return io::realSystemCalls().fsync(fd);
        },
        [](int from, const char* old, int to, const char* target, unsigned flags) {
            if (reachesKillPoint(1)) {
                holm::test::endWriterHere();
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

// The versions as a list of kKeys equal lines.
void fillVersion(CStringListImpl& lines, uint64_t version) {
    lines.clear();
    for (int n = 0; n < kKeys; ++n) {
        lines.add(versionOf(version).c_str());
    }
}

// The three writers. Each writes the file whole, every key or line naming
// the version that wrote it.

// A block-mode file: every key set, then the close writes the file.
bool writeBlock(const std::u16string& path, uint64_t version) {
    CIniFileImpl ini;
    if (!ini.open(path.c_str(), true)) {
        return false;
    }
    for (int n = 0; n < kKeys; ++n) {
        ini.setString(u"Crash", keyOf(n).c_str(), versionOf(version).c_str());
    }
    return ini.close();
}

// A profile-mode edit: the whole list is one rewrite of the file.
bool writeProfile(const std::u16string& path, uint64_t version) {
    CStringListImpl values;
    fillVersion(values, version);
    CIniFileImpl ini;
    return ini.open(path.c_str(), false) && ini.setStringList(u"Crash", u"key", &values, nullptr);
}

// A text file rewritten with kKeys lines.
bool writeText(const std::u16string& path, uint64_t version) {
    CStringListImpl lines;
    fillVersion(lines, version);
    CTxtFileImpl text;
    return text.open(path.c_str(), true) && text.writeLines(&lines) && text.close();
}

using Writer = bool (*)(const std::u16string& path, uint64_t version);

Writer writerNamed(const std::string& name) {
    if (name == "block") {
        return writeBlock;
    }
    if (name == "profile") {
        return writeProfile;
    }
    return name == "text" ? writeText : nullptr;
}

// The writer's child run: HOLM_INI_CRASH_WRITER names the writer,
// HOLM_INI_CRASH_FILE the file. Each step writes version step + 1, with a
// kill point anywhere in its write, its flush and its rename, or none (a
// third of the writes complete).
TEST(IniCrashInChild, Run) {
    const char* name = std::getenv("HOLM_INI_CRASH_WRITER");
    const char* file = std::getenv("HOLM_INI_CRASH_FILE");
    if (name == nullptr || file == nullptr) {
        GTEST_SKIP() << "runs only as a child of IniCrashTest";
    }
    const Writer writer = writerNamed(name);
    ASSERT_NE(writer, nullptr) << name;
    const std::filesystem::path path = holm::test::pathOfUtf8(file);
    const auto fileSize = static_cast<int64_t>(std::filesystem::file_size(path));
    const std::u16string path16 = path.u16string();
    io::ScopedSystemCalls killing(killingCalls());
    holm::test::runWriterSteps([&](uint64_t step) {
        std::mt19937_64 random(step);
        bytesBeforeKill = std::uniform_int_distribution<int64_t>(0, fileSize * 3 / 2)(random);
        return writer(path16, step + 1);
    });
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

// The temporary files left in `directory`.
size_t leftovers(const std::filesystem::path& directory) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        count += entry.path().filename().string().find(".tmp-") != std::string::npos ? 1 : 0;
    }
    return count;
}

// The child writer `name` writing `file`, first version 0 by this process.
holm::test::ChildWriter childWriting(const char* name, const std::filesystem::path& file) {
    EXPECT_TRUE(writerNamed(name)(file.u16string(), 0));
    return {"IniCrashInChild.Run",
            {std::string("HOLM_INI_CRASH_WRITER=") + name,
             "HOLM_INI_CRASH_FILE=" + holm::test::utf8(file)}};
}

TEST(IniCrashTest, AKilledCloseLeavesTheOldOrTheNewFile) {
    holm::test::TempDir dir;
    const auto file = dir.path() / "crash.ini";
    const auto writer = childWriting("block", file);
    ASSERT_FALSE(HasFailure());
    const auto check = [&](uint64_t completed) {
        expectOneVersion(file.u16string(), true, completed);
    };
    holm::test::killChildWriterAtRandomPoints(writer, check,
                                              {.runs = runs(), .maxStepsBeforeKill = 3});
}

// One atomic rewrite per step by writer `name`; `check` reads what
// survived, and one more write unkilled sweeps the temporary file a killed
// one left (Windows sweeps none yet: there it is not counted).
void sweepKillPoints(const char* name, const std::filesystem::path& file,
                     const std::function<void(uint64_t completed)>& check) {
    const auto writer = childWriting(name, file);
    ASSERT_FALSE(::testing::Test::HasFailure());
    const auto checkAndSweep = [&](uint64_t completed) {
        check(completed);
        ASSERT_TRUE(writerNamed(name)(file.u16string(), completed + 1));
        if (!holm::test::onWindows()) {
            EXPECT_EQ(leftovers(file.parent_path()), 0u) << "after " << completed << " writes";
        }
    };
    holm::test::killChildWriterAtRandomPoints(writer, checkAndSweep,
                                              {.runs = runs() / 4, .maxStepsBeforeKill = 3});
}

TEST(IniCrashTest, AKilledProfileEditLeavesTheOldOrTheNewFile) {
    holm::test::TempDir dir;
    const auto file = dir.path() / "profile.ini";
    sweepKillPoints("profile", file, [&](uint64_t completed) {
        expectOneVersion(file.u16string(), false, completed);
    });
}

TEST(IniCrashTest, AKilledTextRewriteLeavesTheOldOrTheNewFile) {
    holm::test::TempDir dir;
    const auto file = dir.write("lines.txt", "");
    const std::u16string path = file.u16string();
    sweepKillPoints("text", file, [&](uint64_t completed) {
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
