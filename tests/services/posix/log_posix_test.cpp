// Report-log cases that need what only this system has: file owners and
// modes, a file-size limit standing for a full disk, a name deleted or
// replaced at once while the file is open elsewhere (Windows keeps a
// deleted open file's name, or refuses the rename, until its last handle
// closes: tests/services/win/log_win_test.cpp), and symbolic links any
// user may make.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/signals.h"
#include "services/support/log_files.h"

namespace {

namespace fs = std::filesystem;
using holm::services::CHlmPlgLogImpl;
using holm::test::logLines;
using holm::test::LogTest;
using holm::test::noAsync;
using holm::test::wide;

TEST_F(LogTest, AFileDeletedOrRotatedFromOutsideIsRecreatedAtTheNextCommit) {
    auto log = openLog(path_);
    log->logText(1, 0, 0, u"before");
    fs::remove(path_);
    log->logText(1, 0, 0, u"after delete");
    EXPECT_EQ(logLines(path_), std::vector<std::string>{"after delete"});

    fs::rename(path_, dir_.path() / "report.log.1");
    log->logText(1, 0, 0, u"after rotate");
    EXPECT_EQ(logLines(path_), std::vector<std::string>{"after rotate"});
    EXPECT_EQ(logLines(dir_.path() / "report.log.1"), std::vector<std::string>{"after delete"});

    // Another file renamed over the log: later entries go to that file.
    const fs::path replacement = dir_.write("replacement", std::string("\xFF\xFE", 2));
    fs::rename(replacement, path_);
    log->logText(1, 0, 0, u"after replace");
    EXPECT_EQ(logLines(path_), std::vector<std::string>{"after replace"});
}

TEST_F(LogTest, ASymbolicLinkIsRefusedAndNeverFollowed) {
    const fs::path target = dir_.write("target", "");
    fs::create_symlink(target, path_);
    CHlmPlgLogImpl log(nullptr, noAsync());
    EXPECT_FALSE(log.open(wide(path_).c_str(), 1, 0, false));
    EXPECT_NE(log.getLastError(), 0u);
    log.logText(1, 0, 0, u"never through the link");
    EXPECT_EQ(fs::file_size(target), 0u);
}

TEST_F(LogTest, TheTrimmedLogKeepsItsOwnerAndMode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    {
        auto filler = openLog(path_);
        fill(*filler, u"line", 100);
    }
    ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    auto log = openLog(path_, 2, 1000, false);
    log->logText(1, 0, 0, u"checked");

    EXPECT_LE(fs::file_size(path_), 902u);  // it was cut
    struct stat after {};
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, 65534u);
    EXPECT_EQ(after.st_gid, 65534u);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
}

// A file-size limit (RLIMIT_FSIZE) stands for a full disk; it is set in a
// child process, which reports through its exit code.
TEST_F(LogTest, AFileSizeLimitFailsTheWriteWithoutTearingTheFile) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        holm::platform::ignoreFileSizeLimitSignal();
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        CHlmPlgLogImpl log(nullptr, noAsync());
        if (!log.open(wide(path_).c_str(), 1, 0, false)) {
            ::_exit(10);
        }
        for (int n = 0; n < 100 && log.getLastError() == 0; ++n) {
            log.log(1, 0, 0, u"entry %d of a log that will not fit", n);
        }
        ::_exit(log.getLastError() == 223 ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const auto lines = logLines(path_);  // whole lines only
    EXPECT_GT(lines.size(), 5u);
    EXPECT_LE(fs::file_size(path_), 1000u);
}

}  // namespace
