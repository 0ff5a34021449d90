// The I/O discipline's rules that hold on every system: checked results keep
// both error numbers, interrupted, short, failed and bounded reads and
// writes, waits with a deadline, and an atomic replacement that loses
// nothing when a step fails.
#include "platform/io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/atomic_file_fixture.h"
#include "platform/local_event.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace holm::platform::io {
namespace {

TEST(ResultTest, KeepsErrnoAndDerivesTheWindowsNumber) {
    const Error full = Error::fromErrno(ENOSPC);
    EXPECT_EQ(full.errnoValue(), ENOSPC);
    EXPECT_EQ(full.windowsError(), WinError::kDiskFull);
    const Error chosen = Error::windows(WinError::kBadDb, EISDIR);
    EXPECT_EQ(chosen.windowsError(), WinError::kBadDb);
    EXPECT_EQ(chosen.errnoValue(), EISDIR);
    EXPECT_EQ(Status().windowsError(), WinError::kSuccess);
    EXPECT_EQ(Status(full).windowsError(), WinError::kDiskFull);
    Result<int> failed = full;
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.valueOr(7), 7);
}

TEST(IoTest, InterruptedAndShortWritesAndReadsMoveEveryByte) {
    holm::test::TempDir temp;
    const std::string content(100000, 'x');
    auto file = open(holm::test::utf8(temp.path() / "f"),
                     {.access = Access::ReadWrite, .create = true, .exclusive = true});
    ASSERT_TRUE(file.ok());
    holm::test::InjectedFaults faults;
    faults.interruptEveryCall();
    faults.limitWrites(333);
    ASSERT_TRUE(writeFull(file->get(), content).ok());
    std::string back(content.size(), '\0');
    ASSERT_TRUE(
        readFullAt(file->get(), std::span(reinterpret_cast<uint8_t*>(back.data()), back.size()), 0)
            .ok());
    EXPECT_EQ(back, content);
    uint8_t extra[1];
    const Status beyond = readFullAt(file->get(), extra, content.size());
    ASSERT_FALSE(beyond.ok());
    EXPECT_EQ(beyond.error().errnoValue(), ENODATA);
}

TEST(IoTest, AWriteFailingPartWayReportsItsError) {
    holm::test::TempDir temp;
    auto file =
        open(holm::test::utf8(temp.path() / "f"), {.access = Access::Write, .create = true});
    ASSERT_TRUE(file.ok());
    holm::test::InjectedFaults faults;
    faults.failWrite(ENOSPC, 1);
    faults.limitWrites(1);
    const Status written = writeFull(file->get(), "abc");
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().errnoValue(), ENOSPC);
    EXPECT_EQ(faults.writesDone(), 1);
}

// The size a caller saw may be stale: the read is bounded by the limit, not
// by that size, and starts at the beginning whatever the position.
TEST(IoTest, WholeFileReadsAreBoundedAndIgnoreTheSizeHint) {
    holm::test::TempDir temp;
    const std::string content(100000, 'x');
    auto file = open(holm::test::utf8(temp.write("whole", content)));
    ASSERT_TRUE(file.ok());
    uint8_t skipped[7];
    ASSERT_EQ(readSome(file->get(), skipped).valueOr(0), sizeof skipped);
    const auto asText = [](const std::vector<std::byte>& bytes) {
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    };
    for (uint64_t hint : {uint64_t{0}, uint64_t{10}, uint64_t{100000}, uint64_t{1} << 40}) {
        auto read = readWholeFile(file->get(), content.size(), hint);
        ASSERT_TRUE(read.ok()) << hint;
        EXPECT_EQ(asText(*read), content) << hint;
    }
    auto tooLarge = readWholeFile(file->get(), content.size() - 1, content.size());
    ASSERT_FALSE(tooLarge.ok());
    EXPECT_EQ(tooLarge.error().errnoValue(), EFBIG);
    holm::test::InjectedFaults faults;
    faults.failRead(EIO);
    auto failed = readWholeFile(file->get(), content.size());
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().errnoValue(), EIO);
}

// An event that is not set keeps a wait until its deadline; one set while
// the wait is on ends it. A file is readable at once (a read tells what
// there is), and a wait on several marks only those that are ready.
TEST(IoTest, WaitsEndAtTheirDeadlineOrWhenAnEventIsSet) {
    auto event = createLocalEvent(false);
    ASSERT_TRUE(event.ok());
    EXPECT_FALSE(
        waitReadable(event->get(), deadlineIn(std::chrono::milliseconds(5))).valueOr(true));
    std::thread setter([fd = event->get()] { EXPECT_TRUE(setLocalEvent(fd).ok()); });
    EXPECT_TRUE(waitReadable(event->get(), deadlineIn(std::chrono::seconds(10))).valueOr(false));
    setter.join();

    holm::test::TempDir temp;
    auto file = open(holm::test::utf8(temp.write("data", "x")));
    auto unset = createLocalEvent(false);
    ASSERT_TRUE(file.ok() && unset.ok());
    const int fds[] = {unset->get(), file->get()};
    bool ready[] = {true, false};
    EXPECT_TRUE(waitAnyReadable(fds, ready, deadlineIn(std::chrono::seconds(10))).valueOr(false));
    EXPECT_FALSE(ready[0]);
    EXPECT_TRUE(ready[1]);
}

TEST_F(AtomicFileTest, ReplacesTheContentWhole) {
    ASSERT_TRUE(replaceFileAtomically(path_, "new content", {.syncDirectory = true}).ok());
    EXPECT_EQ(contentOf(temp_.path() / "settings.ini"), "new content");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, AnyFailedStepKeepsTheOldContentAndReportsTheError) {
    struct Step {
        int error;
        void (*arm)(holm::test::InjectedFaults&, int);
    };
    const Step steps[] = {
        {ENOSPC, [](holm::test::InjectedFaults& f, int e) { f.failWrite(e); }},
        {EIO, [](holm::test::InjectedFaults& f, int e) { f.failFsync(e); }},
        {EXDEV, [](holm::test::InjectedFaults& f, int e) { f.failRename(e); }},
        {EACCES, [](holm::test::InjectedFaults& f, int e) { f.failOpen(e, ".settings"); }},
    };
    for (const Step& step : steps) {
        holm::test::InjectedFaults faults;
        step.arm(faults, step.error);
        const Status written = replaceFileAtomically(path_, "new content");
        ASSERT_FALSE(written.ok()) << step.error;
        EXPECT_EQ(written.error().errnoValue(), step.error);
        EXPECT_NE(written.windowsError(), WinError::kSuccess);
        EXPECT_EQ(contentOf(temp_.path() / "settings.ini"), "old") << step.error;
        EXPECT_EQ(entries(), 1u) << step.error;  // no temporary file left behind
    }
}

TEST_F(AtomicFileTest, AReplacementWrittenInPiecesIsLockedAndGoneUnlessCommitted) {
    {
        auto replacement = FileReplacement::begin(path_);
        ASSERT_TRUE(replacement.ok());
        ASSERT_TRUE(writeFull(replacement->fd(), "piece").ok());
        EXPECT_EQ(entries(), 2u);
        // The temporary file is locked while it is written.
        for (const auto& entry : std::filesystem::directory_iterator(temp_.path())) {
            if (entry.path().filename().string().starts_with(".settings.ini.tmp-")) {
                auto other = open(holm::test::utf8(entry.path()));
                ASSERT_TRUE(other.ok());
                EXPECT_FALSE(tryLockExclusive(other->get()).valueOr(true));
            }
        }
    }
    EXPECT_EQ(entries(), 1u);
    EXPECT_EQ(contentOf(temp_.path() / "settings.ini"), "old");

    auto replacement = FileReplacement::begin(path_);
    ASSERT_TRUE(replacement.ok());
    ASSERT_TRUE(writeFull(replacement->fd(), "one, ").ok());
    ASSERT_TRUE(writeFull(replacement->fd(), "two").ok());
    ASSERT_TRUE(replacement->commit().ok());
    EXPECT_EQ(contentOf(temp_.path() / "settings.ini"), "one, two");
    EXPECT_EQ(entries(), 1u);
}

}  // namespace
}  // namespace holm::platform::io
