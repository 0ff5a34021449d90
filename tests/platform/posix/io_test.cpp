// The I/O discipline on Linux: links, FIFOs, pipes, extended attributes,
// owners and modes (the rules of every system: tests/platform/io_test.cpp).
#include "platform/io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/atomic_file.h"
#include "platform/atomic_file_fixture.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace holm::platform::io {
namespace {

namespace fs = std::filesystem;

// Only regular files are read: a link is not followed, and a FIFO is refused
// without hanging (the bounds: FileOperationsTest.SmallReads...).
TEST(IoTest, SmallFileReadsRefuseLinksAndFifos) {
    holm::test::TempDir temp;
    const auto path = temp.write("small", "0123456789").string();
    fs::create_symlink(path, temp.path() / "link");
    EXPECT_EQ(readSmallFile((temp.path() / "link").string(), 100).error().errnoValue(), ELOOP);
    // A FIFO with no writer would block an ordinary open for good.
    ASSERT_EQ(::mkfifo((temp.path() / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(readSmallFile((temp.path() / "fifo").string(), 100).error().errnoValue(), EINVAL);
}

TEST(IoTest, AttributesAreSetReadAndRemoved) {
    holm::test::TempDir temp;
    const auto path = temp.write("marked", "x").string();
    OpenOptions options;
    options.access = Access::ReadWrite;
    auto file = open(path, options);
    ASSERT_TRUE(file.ok());
    const auto missing = getAttribute(file->get(), "user.test.mark");
    ASSERT_FALSE(missing.ok());
    if (missing.error().errnoValue() == ENOTSUP) {
        GTEST_SKIP() << "the file system keeps no user attributes";
    }
    EXPECT_EQ(missing.error().errnoValue(), ENODATA);
    ASSERT_TRUE(setAttribute(file->get(), "user.test.mark", "4096 8192").ok());
    EXPECT_EQ(getAttribute(file->get(), "user.test.mark").valueOr("?"), "4096 8192");
    EXPECT_TRUE(removeAttribute(file->get(), "user.test.mark").ok());
    EXPECT_TRUE(removeAttribute(file->get(), "user.test.mark").ok()) << "a missing one is no error";
    EXPECT_FALSE(getAttribute(file->get(), "user.test.mark").ok());
}

// Data written to a pipe ends a wait on its other end (waits on events and
// files: IoTest.WaitsEndAtTheirDeadlineOrWhenAnEventIsSet).
TEST(IoTest, WaitsEndAtTheirDeadlineOrWhenDataArrivesOnAPipe) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    EXPECT_FALSE(
        waitReadable(readEnd.get(), deadlineIn(std::chrono::milliseconds(5))).valueOr(true));
    ASSERT_TRUE(writeFull(writeEnd.get(), "x").ok());
    EXPECT_TRUE(waitReadable(readEnd.get(), deadlineIn(std::chrono::seconds(10))).valueOr(false));
}

TEST_F(AtomicFileTest, ALinkAtTheTargetIsReplacedNotFollowed) {
    const auto victim = temp_.write("victim", "keep");
    fs::remove(path_);
    fs::create_symlink(victim, path_);
    ASSERT_TRUE(replaceFileAtomically(path_, "new").ok());
    EXPECT_EQ(contentOf(victim), "keep");
    EXPECT_FALSE(fs::is_symlink(path_));
    EXPECT_EQ(contentOf(path_), "new");
}

TEST_F(AtomicFileTest, TheReplacedFileKeepsOwnerGroupAndModeButNotItsHardLinks) {
    const bool foreign = holm::test::canGiveAwayFiles();
    if (foreign) {
        ASSERT_EQ(::chown(path_.c_str(), holm::test::kAnotherUser, holm::test::kAnotherUser), 0);
    }
    ASSERT_EQ(::chmod(path_.c_str(), 04640), 0);
    const std::string other = temp_.path() / "other-name";
    ASSERT_EQ(::link(path_.c_str(), other.c_str()), 0);
    ASSERT_TRUE(replaceFileAtomically(path_, "new", {.mode = 0600}).ok());
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 04640u);  // set-id bits survive the owner change
    if (foreign) {
        EXPECT_EQ(info.st_uid, holm::test::kAnotherUser);
        EXPECT_EQ(info.st_gid, holm::test::kAnotherUser);
    }
    EXPECT_EQ(info.st_nlink, 1u);
    EXPECT_EQ(contentOf(other), "old");
}

TEST_F(AtomicFileTest, ANewFileGetsExactlyTheModeAskedFor) {
    const mode_t previous = ::umask(0077);
    const std::string fresh = temp_.path() / "fresh";
    const bool written = replaceFileAtomically(fresh, "x", {.mode = 0644}).ok();
    ::umask(previous);
    ASSERT_TRUE(written);
    struct stat info {};
    ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST_F(AtomicFileTest, TheNextWriteSweepsLeftoversButNoneInUseOrInAnOpenDirectory) {
    const auto stale = temp_.write(".settings.ini.tmp-1", "left by a writer that died");
    const auto held = temp_.write(".settings.ini.tmp-2", "being written");
    const auto unrelated = temp_.write(".other.ini.tmp-3", "another file's");
    auto holder = open(held.string());
    ASSERT_TRUE(holder.ok());
    ASSERT_TRUE(lockExclusive(holder->get()).ok());
    ASSERT_TRUE(replaceFileAtomically(path_, "new").ok());
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(held));
    EXPECT_TRUE(fs::exists(unrelated));

    // Where others may write, a file of that name may be theirs.
    const auto shared = temp_.path() / "shared";
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const auto theirs = shared / ".x.tmp-1";
    std::ofstream(theirs) << "x";
    ASSERT_TRUE(replaceFileAtomically((shared / "x").string(), "new").ok());
    EXPECT_TRUE(fs::exists(theirs));
}

TEST(IoTest, ABoundedLockWaitGivesUpOrTakesTheLockOnceFree) {
    holm::test::TempDir temp;
    const auto file = temp.write("locked", "");
    auto holder = open(file.string());
    auto waiter = open(file.string());
    ASSERT_TRUE(holder.ok() && waiter.ok());
    ASSERT_TRUE(lockExclusive(holder->get()).ok());
    EXPECT_FALSE(lockExclusiveBefore(waiter->get(), deadlineIn(std::chrono::milliseconds(20)))
                     .valueOr(true));
    holder->reset();
    EXPECT_TRUE(
        lockExclusiveBefore(waiter->get(), deadlineIn(std::chrono::seconds(10))).valueOr(false));
}

}  // namespace
}  // namespace holm::platform::io
