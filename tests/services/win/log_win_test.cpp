// Report-log cases under the file rules of Windows: the log opens its file
// sharing reading, writing and deletion, so another program may rename or
// delete it while it is open; the classic rename refuses to replace a file
// that is open, and a deleted open file may keep its name until its last
// handle closes. Whatever the system allows, no entry is lost.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "services/support/log_files.h"

namespace {

namespace fs = std::filesystem;
using holm::services::CHlmPlgLogImpl;
using holm::test::logLines;
using holm::test::LogTest;
using holm::test::noAsync;
using holm::test::wide;

// Rotation by renaming (logrotate's way): allowed while the log is open, and
// the next entry goes to a new file at the path.
TEST_F(LogTest, TheOpenLogRenamedFromOutsideIsRecreatedAtTheNextCommit) {
    auto log = openLog(path_);
    log->logText(1, 0, 0, u"before");
    const fs::path rotated = dir_.path() / "report.log.1";
    ASSERT_TRUE(::MoveFileExW(path_.wstring().c_str(), rotated.wstring().c_str(), 0))
        << ::GetLastError();
    log->logText(1, 0, 0, u"after rotate");
    EXPECT_EQ(log->getLastError(), 0u);
    EXPECT_EQ(logLines(path_), std::vector<std::string>{"after rotate"});
    EXPECT_EQ(logLines(rotated), std::vector<std::string>{"before"});
}

// Each rename made right before a commit is noticed by that very commit,
// however many commits the log made in the file before: the entry is never
// written to the file renamed away.
TEST_F(LogTest, EveryRenameRightBeforeACommitIsNoticedByThatCommit) {
    auto log = openLog(path_);
    for (int round = 1; round <= 3; ++round) {
        const std::u16string entry = u"round " + std::u16string(1, char16_t(u'0' + round));
        log->logText(1, 0, 0, entry.c_str());
        log->logText(1, 0, 0, entry.c_str());
        const fs::path rotated = dir_.path() / ("report.log." + std::to_string(round));
        ASSERT_TRUE(::MoveFileExW(path_.wstring().c_str(), rotated.wstring().c_str(), 0))
            << ::GetLastError();
        log->logText(1, 0, 0, u"after");
        EXPECT_EQ(log->getLastError(), 0u);
        const std::string line = "round " + std::to_string(round);
        const auto previous = round == 1 ? std::vector<std::string>{line, line}
                                         : std::vector<std::string>{"after", line, line};
        EXPECT_EQ(logLines(rotated), previous) << "round " << round;
        EXPECT_EQ(logLines(path_), std::vector<std::string>{"after"}) << "round " << round;
    }
}

// Another file renamed over the open log: the classic rename refuses (the
// log then keeps its file); a system that replaces open files hands the log
// the new file. Either way the entry lands in the file at the path.
TEST_F(LogTest, AFileRenamedOverTheOpenLogLosesNoEntry) {
    auto log = openLog(path_);
    log->logText(1, 0, 0, u"before");
    const fs::path replacement = dir_.write("replacement", std::string("\xFF\xFE", 2));
    const bool replaced = ::MoveFileExW(replacement.wstring().c_str(), path_.wstring().c_str(),
                                        MOVEFILE_REPLACE_EXISTING);
    const DWORD error = replaced ? ERROR_SUCCESS : ::GetLastError();
    log->logText(1, 0, 0, u"after replace");
    EXPECT_EQ(log->getLastError(), 0u);
    if (replaced) {
        EXPECT_EQ(logLines(path_), std::vector<std::string>{"after replace"});
    } else {
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(logLines(path_), (std::vector<std::string>{"before", "after replace"}));
        EXPECT_EQ(logLines(replacement), std::vector<std::string>{});
    }
}

// A delete from outside is not refused. The name goes at once (newer
// systems), once the log lets go (the log finds the name unopenable and
// recreates the file), or, under some emulations, only when the file is
// closed; in every case the next entry is in the file at the path.
TEST_F(LogTest, TheOpenLogMayBeDeletedFromOutside) {
    auto log = openLog(path_);
    log->logText(1, 0, 0, u"before");
    ASSERT_TRUE(::DeleteFileW(path_.wstring().c_str())) << ::GetLastError();
    log->logText(1, 0, 0, u"after delete");
    EXPECT_EQ(log->getLastError(), 0u);
    const auto lines = logLines(path_);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "after delete");
}

// Trimming replaces the log by a rename, which the log makes possible by
// letting go of its own descriptor; another program that holds the log
// without sharing deletion still stops it. The trim then fails and leaves
// the log whole, and the log goes on in that file.
TEST_F(LogTest, ATrimStoppedByAnotherProgramLeavesTheLogWhole) {
    {
        auto filler = openLog(path_);
        fill(*filler, u"line", 100);
    }
    auto log = openLog(path_, 2, 1000, false);
    HANDLE held =
        ::CreateFileW(path_.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << ::GetLastError();
    log->logText(1, 0, 0, u"checked");  // the first commit checks the size
    EXPECT_NE(log->getLastError(), 0u);
    ::CloseHandle(held);

    log->logText(1, 0, 0, u"later");
    const auto lines = logLines(path_);
    ASSERT_EQ(lines.size(), 102u);
    EXPECT_EQ(lines[100], "checked");
    EXPECT_EQ(lines[101], "later");
    EXPECT_FALSE(fs::exists(dir_.path() / "report.log.tmp"));
}

// Symbolic links need a privilege (or developer mode) on Windows; where
// the system makes none, there is nothing to refuse.
TEST_F(LogTest, ASymbolicLinkIsRefusedWhereTheSystemMakesOne) {
    const fs::path target = dir_.write("target", "");
    const bool created = ::CreateSymbolicLinkW(path_.wstring().c_str(), target.wstring().c_str(),
                                               SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = ::GetFileAttributesW(path_.wstring().c_str());
    if (!created || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "this system makes no symbolic link for this process";
    }
    CHlmPlgLogImpl log(nullptr, noAsync());
    EXPECT_FALSE(log.open(wide(path_).c_str(), 1, 0, false));
    EXPECT_NE(log.getLastError(), 0u);
    log.logText(1, 0, 0, u"never through the link");
    EXPECT_EQ(fs::file_size(target), 0u);
}

}  // namespace
