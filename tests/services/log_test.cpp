// Report logs: line layout, entries, the shared writer, rollover in both
// modes (inline and on a dispatcher's time worker) and bad files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "async/async_impl.h"
#include "async/dispatcher.h"
#include "async/support/manual_clock.h"
#include "async/support/recording_gate.h"
#include "common/utf16.h"
#include "platform/local_time.h"
#include "services/log_impl.h"
#include "services/support/log_files.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using HlmPlg::ILogEvent;
using holm::services::CHlmPlgLogImpl;
using holm::services::LogCategories;

using holm::test::logLines;
using holm::test::LogTest;
using holm::test::noAsync;
using holm::test::readBytes;
using holm::test::wide;

TEST_F(LogTest, LinesByStyleCategoryAndLevel) {
    auto log = openLog(path_, 2);
    log->logText(1, 5, 3, u"x");
    log->logText(1, 0, 0, u"none");
    log->logText(1, 0, 5, u"unnamed");
    log->logText(1, 2, 1, u"two");
    log->logText(2, 3, 2, u"six");
    log->logText(1, 4, 4, u"six too");
    log->logText(3, 0, 0, u"above the reporting level");
    EXPECT_TRUE(log->isLevelEnabled(2));
    EXPECT_FALSE(log->isLevelEnabled(3));
    log->log(1, 0, 0, u"%s=%d", u"n", 42);
    log->logText(1, 0, 0, u"a\nb\x1b");

    const auto lines = logLines(path_);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"([^,]+,\d\d:\d\d:\d\d \[ERROR\] x)")))
        << lines[0];
    EXPECT_EQ(lines[1], "none");
    EXPECT_EQ(lines[2], "unnamed");
    EXPECT_EQ(lines[3], "  [INFO] two");
    EXPECT_EQ(lines[4], "      [WARNING] six");
    EXPECT_EQ(lines[5], "      [DETECTION] six too");
    EXPECT_EQ(lines[6], "n=42");
    EXPECT_EQ(lines[7], R"(a\nb\x1b)");  // one line, whatever the text holds
}

TEST(LogDate, ShortDateFollowsTheLocaleWithFourDigitYears) {
    holm::platform::LocalTime time;
    time.year = 2026;
    time.month = 12;
    time.day = 7;
    time.hour = 9;
    time.minute = 5;
    time.second = 3;
    EXPECT_EQ(holm::platform::shortDate(time, "C"), "12/07/2026");
    EXPECT_EQ(holm::platform::shortDate(time, "no such locale"), "12/07/2026");
    EXPECT_EQ(holm::platform::time24(time), "09:05:03");
    time.hour = 23;
    EXPECT_EQ(holm::platform::time24(time), "23:05:03");
}

// Stamps come from the per-tick clock: never ahead of the exact clock read
// after it, and behind the one read before it by less than a second.
TEST(LogDate, CoarseTimeIsNeverAheadOfTheExactTime) {
    const auto seconds = [](const holm::platform::LocalTime& time) {
        using namespace std::chrono;
        const sys_days date = year_month_day{year{time.year}, month{time.month}, day{time.day}};
        return date + hours{time.hour} + minutes{time.minute} + std::chrono::seconds{time.second};
    };
    for (int round = 0; round < 1000; ++round) {
        const auto before = seconds(holm::platform::localTimeNow());
        const auto coarse = seconds(holm::platform::localTimeNowCoarse());
        const auto after = seconds(holm::platform::localTimeNow());
        ASSERT_LE(coarse, after);
        ASSERT_GE(coarse, before - std::chrono::seconds{1});
    }
}

TEST(LogCategoriesTest, NamesFromTheMessageLibraryOrTheDefaults) {
    const LogCategories defaults(u"");
    EXPECT_EQ(defaults.prefix(1), u"[INFO] ");
    EXPECT_EQ(defaults.prefix(4), u"[DETECTION] ");
    EXPECT_EQ(defaults.prefix(0), u"");
    EXPECT_EQ(defaults.prefix(5), u"");
    const LogCategories own(u"A;B\n");
    EXPECT_EQ(own.prefix(2), u"[B\\n] ");
    EXPECT_EQ(own.prefix(3), u"");
}

TEST_F(LogTest, EntriesAreWrittenWholeWithTheirOwnLevel) {
    auto log = openLog(path_, 2);
    ILogEvent* event = log->createEvent();
    ASSERT_NE(event, nullptr);
    event->addLine(1, 0, 0, u"first %s", u"line");
    event->addLine(1, 0, 0, u"100%% sure");
    event->addLineText(3, 0, 0, u"too detailed");
    event->addLineText(2, 2, 0, u"second");
    log->commitEvent(&event);
    EXPECT_EQ(event, nullptr);

    ILogEvent* empty = log->createEvent();
    log->commitEvent(&empty);  // no lines: nothing written
    log->commitEvent(nullptr);
    delete log->createEvent();  // never committed: discarded

    EXPECT_EQ(logLines(path_), (std::vector<std::string>{"first line", "100% sure", "  second"}));
    EXPECT_EQ(log->getLastError(), 0u);
}

TEST_F(LogTest, LogsOnOnePathShareOneWriterAndKeepOrder) {
    auto first = openLog(path_);
    auto second = openLog(path_);
    for (int n = 0; n < 3; ++n) {
        first->log(1, 0, 0, u"a%d", n);
        second->log(1, 0, 0, u"b%d", n);
    }
    EXPECT_EQ(logLines(path_), (std::vector<std::string>{"a0", "b0", "a1", "b1", "a2", "b2"}));
}

// A file cut short from outside (copytruncate) is noticed at the next commit:
// an empty one starts again with its byte-order mark; one that another
// program wrote meanwhile is appended in the encoding its first bytes show;
// an entry of ours that reached the emptied file before the mark gets the
// mark put in front of it. Never a mixed file.
TEST_F(LogTest, AFileTruncatedFromOutsideStartsAgainInOneEncoding) {
    auto log = openLog(path_);
    log->logText(1, 0, 0, u"before\ttabbed");
    fs::resize_file(path_, 0);
    log->logText(1, 0, 0, u"after truncate");
    EXPECT_EQ(logLines(path_), std::vector<std::string>{"after truncate"});

    fs::resize_file(path_, 0);
    std::ofstream(path_, std::ios::binary | std::ios::app) << "other\r\n";
    log->logText(1, 0, 0, u"after other");
    EXPECT_EQ(readBytes(path_), "other\r\nafter other\r\n");

    fs::resize_file(path_, 0);
    log->logText(1, 0, 0, u"a\tb");
    EXPECT_EQ(logLines(path_), std::vector<std::string>{"a\tb"}) << "report logs keep tabs";
    // Truncated between the length check and the write of "late": the entry
    // is the file's only content, without the mark.
    log->logText(1, 0, 0, u"late");
    fs::resize_file(path_, 0);
    std::ofstream(path_, std::ios::binary | std::ios::app)
        << std::string("l\0a\0t\0e\0\r\0\n\0", 12);
    log->logText(1, 0, 0, u"next");
    EXPECT_EQ(logLines(path_), (std::vector<std::string>{"late", "next"}));
}

TEST_F(LogTest, AnExistingFileWithoutByteOrderMarkIsWrittenAsUtf8) {
    dir_.write("report.log", "old\r\n");
    auto log = openLog(path_);
    log->logText(1, 0, 0, u"new \u00e9");
    EXPECT_EQ(readBytes(path_), "old\r\nnew \xC3\xA9\r\n");
}

TEST_F(LogTest, BackupModeMovesNumberedBackupsUp) {
    {
        auto filler = openLog(path_);
        fill(*filler, u"old", 60);
    }
    for (int n = 1; n <= 4; ++n) {
        dir_.write("report000" + std::to_string(n) + ".log", "backup " + std::to_string(n));
    }
    auto log = openLog(path_, 2, 1000, true);
    log->logText(1, 0, 0, u"checked");  // the first commit checks the size

    const auto newest = logLines(dir_.path() / "report0001.log");
    ASSERT_EQ(newest.size(), 61u);
    EXPECT_EQ(newest.back(), "checked");
    EXPECT_EQ(readBytes(path_), "\xFF\xFE");  // a new, empty log
    EXPECT_EQ(readBytes(dir_.path() / "report0002.log"), "backup 1");
    EXPECT_EQ(readBytes(dir_.path() / "report0003.log"), "backup 2");
    EXPECT_EQ(readBytes(dir_.path() / "report0004.log"), "backup 3");
    EXPECT_FALSE(fs::exists(dir_.path() / "report0005.log"));
    EXPECT_EQ(log->getLastError(), 0u);
}

TEST_F(LogTest, TrimModeKeepsTheNewestLinesFromALineStart) {
    {
        auto filler = openLog(path_);
        fill(*filler, u"line", 100);
    }
    const auto before = logLines(path_);
    auto log = openLog(path_, 2, 1000, false);
    log->logText(1, 0, 0, u"checked");

    const auto after = logLines(path_);
    EXPECT_LE(fs::file_size(path_), 902u);
    EXPECT_GE(fs::file_size(path_), 700u);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), "checked");
    // A suffix of what was there, starting at a whole line.
    const std::vector<std::string> tail(before.end() - static_cast<long>(after.size() - 1),
                                        before.end());
    EXPECT_EQ(std::vector<std::string>(after.begin(), after.end() - 1), tail);
    EXPECT_FALSE(fs::exists(dir_.path() / "report.log.tmp"));
}

TEST_F(LogTest, AFailedTrimRenameLeavesTheLogWhole) {
    {
        auto filler = openLog(path_);
        fill(*filler, u"line", 100);
    }
    auto log = openLog(path_, 2, 1000, false);
    const std::string before = readBytes(path_);
    {
        holm::test::InjectedFaults faults;
        faults.failRename(EIO);
        log->logText(1, 0, 0, u"checked");
    }
    EXPECT_NE(log->getLastError(), 0u);
    const auto lines = logLines(path_);
    EXPECT_EQ(lines.size(), 101u);
    EXPECT_EQ(lines.back(), "checked");
    EXPECT_TRUE(readBytes(path_).starts_with(before));
    EXPECT_FALSE(fs::exists(dir_.path() / "report.log.tmp"));
}

TEST_F(LogTest, AFailedWriteLeavesNoPartOfTheEntry) {
    auto log = openLog(path_);
    log->logText(1, 0, 0, u"kept");
    const std::string before = readBytes(path_);
    {
        holm::test::InjectedFaults faults;
        faults.limitWrites(6);
        faults.failWrite(ENOSPC, 1);  // six bytes go through, then the disk is full
        log->logText(1, 0, 0, u"lost to a full disk");
    }
    EXPECT_EQ(log->getLastError(), 112u);
    EXPECT_EQ(readBytes(path_), before);
    log->logText(1, 0, 0, u"space again");
    EXPECT_EQ(logLines(path_), (std::vector<std::string>{"kept", "space again"}));
}

// (Links are refused too: tests/services/posix/log_posix_test.cpp.)
TEST_F(LogTest, DirectoriesAndMissingFoldersAreRefusedWithAReason) {
    CHlmPlgLogImpl log(nullptr, noAsync());
    const fs::path folder = dir_.path() / "folder";
    fs::create_directory(folder);
    EXPECT_FALSE(log.open(wide(folder).c_str(), 1, 0, false));
    EXPECT_NE(log.getLastError(), 0u);

    const fs::path missing = dir_.path() / "later" / "report.log";
    EXPECT_FALSE(log.open(wide(missing).c_str(), 1, 0, false));
    EXPECT_EQ(log.getLastError(), 3u);  // path not found
    fs::create_directory(dir_.path() / "later");
    log.logText(1, 0, 0, u"once the folder exists");
    EXPECT_EQ(logLines(missing), std::vector<std::string>{"once the folder exists"});

    EXPECT_FALSE(log.open(u"", 1, 0, false));
    EXPECT_EQ(log.getLastError(), 87u);
}

// Rollovers on a dispatcher's time worker whose ticks the test drives.
class LogRolloverTest : public LogTest {
  protected:
    LogRolloverTest() {
        auto clock = std::make_unique<holm::test::ManualClock>();
        clock_ = clock.get();
        dispatcher_ = std::make_unique<holm::async::CAsyncImplObjects>(
            gate_, std::move(clock), (dir_.path() / "run").string());
    }
    ~LogRolloverTest() override { dispatcher_.reset(); }

    std::unique_ptr<CHlmPlgLogImpl> openScheduledLog(int32_t maxSize) {
        CHlmPlgLogImpl::AsyncHolder async(new holm::async::CAsyncImpl(*dispatcher_, gate_),
                                          [](HlmPlg::IAsync* made) { delete made; });
        auto log = std::make_unique<CHlmPlgLogImpl>(nullptr, std::move(async));
        EXPECT_TRUE(log->open(wide(path_).c_str(), 2, maxSize, true));
        return log;
    }

    holm::test::RecordingGate gate_;
    holm::test::ManualClock* clock_ = nullptr;
    std::unique_ptr<holm::async::CAsyncImplObjects> dispatcher_;
};

TEST_F(LogRolloverTest, EntriesCommittedAroundRolloversAppearOnceEachInOrder) {
    auto log = openScheduledLog(1000);
    constexpr int kThreads = 4;
    constexpr int kEntries = 1000;  // four size checks in all: at most four backups
    std::atomic<int> running{kThreads};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int n = 0; n < kEntries; ++n) {
                ILogEvent* event = log->createEvent();
                event->addLine(1, 0, 0, u"%d %d", t, n);
                event->addLine(1, 0, 0, u"%d %d end", t, n);
                log->commitEvent(&event);
            }
            --running;
        });
    }
    while (running > 0) {
        ASSERT_TRUE(clock_->tick());
    }
    for (auto& writer : writers) {
        writer.join();
    }
    ASSERT_TRUE(clock_->tick());  // a rollover due at the last commits

    std::vector<std::string> all;
    for (const char* name :
         {"report0004.log", "report0003.log", "report0002.log", "report0001.log", "report.log"}) {
        if (fs::exists(dir_.path() / name)) {
            const auto lines = logLines(dir_.path() / name);
            all.insert(all.end(), lines.begin(), lines.end());
        }
    }
    EXPECT_TRUE(fs::exists(dir_.path() / "report0001.log"));
    ASSERT_EQ(all.size(), 2u * kThreads * kEntries);
    std::map<int, int> next;
    for (size_t i = 0; i < all.size(); i += 2) {
        int t = -1, n = -1;
        ASSERT_EQ(std::sscanf(all[i].c_str(), "%d %d", &t, &n), 2) << all[i];
        ASSERT_EQ(all[i + 1], all[i] + " end");  // entries never interleave
        ASSERT_EQ(n, next[t]++) << "thread " << t;
    }
}

TEST_F(LogRolloverTest, ALogDestroyedWithItsRolloverPendingRunsItFirst) {
    {
        auto filler = openLog(path_);
        fill(*filler, u"old", 60);
    }
    auto log = openScheduledLog(1000);
    log->logText(1, 0, 0, u"due");  // scheduled; the clock never ticks
    EXPECT_FALSE(fs::exists(dir_.path() / "report0001.log"));
    log.reset();
    EXPECT_EQ(logLines(dir_.path() / "report0001.log").back(), "due");
    EXPECT_EQ(readBytes(path_), "\xFF\xFE");
}

// The smallest limit is a limit like any other: only zero or less means
// none.
TEST_F(LogTest, ALimitOfOneByteRollsTheLogOver) {
    {
        auto filler = openLog(path_);
        fill(*filler, u"old", 3);
    }
    auto log = openLog(path_, 2, 1, true);
    log->logText(1, 0, 0, u"checked");
    EXPECT_EQ(logLines(dir_.path() / "report0001.log").back(), "checked");
    EXPECT_EQ(readBytes(path_), "\xFF\xFE");
}

// Another process removes the log and creates it again between this
// writer's two opens, twice in a row: the third round opens the file.
struct RacedOpens {
    static inline int races = 0;
    static int openat(int directory, const char* name, int flags, holm::platform::io::mode_t mode) {
        const std::string_view path(name);
        if (races > 0 && (path.ends_with("/report.log") || path.ends_with("\\report.log"))) {
            if ((flags & holm::platform::io::kOpenExclusive) != 0) {
                --races;
                errno = EEXIST;
            } else {
                errno = ENOENT;
            }
            return -1;
        }
        return holm::platform::io::realSystemCalls().openat(directory, name, flags, mode);
    }
};

TEST_F(LogTest, ALogReplacedBetweenItsOpensTwiceInARowIsStillOpened) {
    {
        auto filler = openLog(path_);
        fill(*filler, u"old", 2);
    }
    holm::platform::io::SystemCalls calls = holm::platform::io::realSystemCalls();
    calls.openat = RacedOpens::openat;
    RacedOpens::races = 2;
    {
        holm::platform::io::ScopedSystemCalls raced(calls);
        auto log = openLog(path_);
        log->logText(1, 0, 0, u"after the races");
    }
    EXPECT_EQ(RacedOpens::races, 0);
    const auto lines = logLines(path_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "after the races");
}

// A dispatcher stand-in that declines every watch and timer; fireNow is
// each stand-in's own.
class AsyncStandIn : public HlmPlg::IAsync {
  public:
    bool registerHandler(HlmPlg::IHandler* handler) override {
        handler_ = dynamic_cast<HlmPlg::IAsyncHandler*>(handler);
        return true;
    }
    bool unregisterHandler(HlmPlg::IHandler*) override {
        handler_ = nullptr;
        return true;
    }
    HlmPlg::IAsyncEvent* fireAfterNSec(int32_t, uintptr_t) override { return nullptr; }
    HlmPlg::IAsyncEvent* watchEvent(const char16_t*, uintptr_t) override { return nullptr; }
    HlmPlg::IAsyncEvent* watchDirectory(const char16_t*, uint8_t, uint8_t, uintptr_t) override {
        return nullptr;
    }
    HlmPlg::IAsyncEvent* watchFile(const char16_t*, uint8_t, uintptr_t) override { return nullptr; }
    HlmPlg::IAsyncEvent* watchRegistryKey(uint32_t, const char16_t*, uint8_t, uint8_t,
                                          uintptr_t) override {
        return nullptr;
    }
    HlmPlg::IAsyncEvent* watchRegistryValue(uint32_t, const char16_t*, const char16_t*, uint8_t,
                                            uintptr_t) override {
        return nullptr;
    }
    void cancel(HlmPlg::IAsyncEvent*) override {}

  protected:
    HlmPlg::IAsyncHandler* handler_ = nullptr;
};

// Runs `reenter` once on the committing thread (code called from inside a
// commit) and then declines, so the rollover runs inline.
class ReenteringAsync : public AsyncStandIn {
  public:
    std::function<void()> reenter;

    HlmPlg::IAsyncEvent* fireNow(uintptr_t) override {
        if (auto run = std::exchange(reenter, nullptr)) {
            run();
        }
        return nullptr;
    }
};

// A time worker quicker than the caller: fireNow runs `beforeDelivery` and
// the delivery on a thread of its own and returns when both have ended, or
// when a deadline passed first (counted in `late`; the thread is then joined
// by finish()).
class DeliveringAsync : public AsyncStandIn {
  public:
    struct Event : HlmPlg::IAsyncEvent {
        explicit Event(uintptr_t value) : user(value) {}
        uintptr_t getUserValue() override { return user; }
        uintptr_t user;
    };

    std::function<void()> beforeDelivery;
    std::atomic<int> late{0};
    std::atomic<int> cancelled{0};

    ~DeliveringAsync() override { finish(); }

    HlmPlg::IAsyncEvent* fireNow(uintptr_t user) override {
        Event* event = nullptr;
        std::function<void()> before;
        auto delivered = std::make_shared<std::promise<void>>();
        std::future<void> done = delivered->get_future();
        {
            std::lock_guard hold(lock_);
            event = &events_.emplace_back(user);
            before = std::exchange(beforeDelivery, nullptr);
        }
        std::thread worker([this, event, before, delivered] {
            if (before) {
                before();
            }
            handler_->onAsyncEvent(event);
            delivered->set_value();
        });
        if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
            worker.join();
        } else {
            ++late;
            std::lock_guard hold(lock_);
            pending_.push_back(std::move(worker));
        }
        return event;
    }
    void cancel(HlmPlg::IAsyncEvent*) override { ++cancelled; }

    void finish() {
        std::vector<std::thread> threads;
        {
            std::lock_guard hold(lock_);
            threads.swap(pending_);
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }

  private:
    std::mutex lock_;
    std::list<Event> events_;  // addresses stay put
    std::vector<std::thread> pending_;
};

// Code called from inside a commit (the rollover's scheduling) opens the
// committing log on other files and commits to further logs, which call out
// again, nested deeper than a thread's read slots: the commit in progress
// keeps the file it started on (its rollover runs on that file), and the
// log writes to the last file opened afterwards.
TEST_F(LogTest, ALogReopenedFromInsideItsCommitKeepsTheCommitsFile) {
    constexpr int kLogs = 6;
    std::vector<ReenteringAsync*> asyncs;
    std::vector<std::unique_ptr<CHlmPlgLogImpl>> logs;
    for (int n = 0; n < kLogs; ++n) {
        asyncs.push_back(new ReenteringAsync());
        logs.push_back(std::make_unique<CHlmPlgLogImpl>(
            nullptr,
            CHlmPlgLogImpl::AsyncHolder(asyncs.back(), [](HlmPlg::IAsync* made) { delete made; })));
        const fs::path file = n == 0 ? path_ : dir_.path() / ("chain" + std::to_string(n) + ".log");
        ASSERT_TRUE(logs.back()->open(wide(file).c_str(), 2, 1, true));  // every commit rolls over
    }
    for (int n = 0; n + 1 < kLogs; ++n) {
        asyncs[n]->reenter = [&, n] {
            const fs::path other = dir_.path() / ("other" + std::to_string(n) + ".log");
            ASSERT_TRUE(logs[0]->open(wide(other).c_str(), 2, 0, false));
            EXPECT_TRUE(logs[0]->isLevelEnabled(2));
            logs[n + 1]->logText(1, 0, 0, holm::common::utf8ToUtf16(std::to_string(n + 1)).c_str());
        };
    }
    logs[0]->logText(1, 0, 0, u"outer");
    logs[0]->logText(1, 0, 0, u"after");

    EXPECT_EQ(logLines(dir_.path() / "report0001.log"), std::vector<std::string>{"outer"});
    for (int n = 1; n < kLogs; ++n) {
        EXPECT_EQ(logLines(dir_.path() / ("chain" + std::to_string(n) + "0001.log")),
                  std::vector<std::string>{std::to_string(n)});
    }
    EXPECT_EQ(logLines(dir_.path() / "other4.log"), std::vector<std::string>{"after"});
}

// Entries committed on two threads while a third opens the log again and
// again on two files: each lands whole, exactly once, in one of them.
TEST_F(LogTest, EntriesCommittedWhileTheLogIsReopenedLandWholeOnce) {
    const fs::path other = dir_.path() / "other.log";
    auto log = openLog(path_);
    constexpr int kEntries = 2000;
    std::atomic<int> running{2};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            for (int n = 0; n < kEntries; ++n) {
                log->log(1, 0, 0, u"%d %d", t, n);
            }
            --running;
        });
    }
    // At least two rounds, so that both files exist even when the writers
    // finish before the first reopen.
    for (int round = 0; running > 0 || round < 2; ++round) {
        ASSERT_TRUE(log->open(wide(round % 2 == 0 ? other : path_).c_str(), 2, 0, false));
    }
    for (auto& writer : writers) {
        writer.join();
    }
    std::vector<std::string> all = logLines(path_);
    const auto more = logLines(other);
    all.insert(all.end(), more.begin(), more.end());
    std::sort(all.begin(), all.end());
    std::vector<std::string> expected;
    for (int t = 0; t < 2; ++t) {
        for (int n = 0; n < kEntries; ++n) {
            expected.push_back(std::to_string(t) + " " + std::to_string(n));
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
}

// The dispatcher delivers a rollover before its fireNow has returned, and
// the thread of that delivery first commits to the same log, reopened on a
// second file, so that a rollover falls due there while the first is being
// scheduled: neither waits for the other, each file is rolled over once with
// its own entry, and nothing delivered is cancelled afterwards.
TEST_F(LogTest, RolloversDeliveredBeforeFireNowReturnsRunOnceEach) {
    DeliveringAsync async;  // outlives the log, which is handed it without ownership
    auto log = std::make_unique<CHlmPlgLogImpl>(
        nullptr, CHlmPlgLogImpl::AsyncHolder(&async, [](HlmPlg::IAsync*) {}));
    const fs::path other = dir_.path() / "other.log";
    ASSERT_TRUE(log->open(wide(path_).c_str(), 2, 1, true));  // the first commit is due
    async.beforeDelivery = [&] {
        ASSERT_TRUE(log->open(wide(other).c_str(), 2, 1, true));
        log->logText(1, 0, 0, u"second");
    };
    log->logText(1, 0, 0, u"first");
    async.finish();

    EXPECT_EQ(async.late, 0);
    EXPECT_EQ(logLines(dir_.path() / "report0001.log"), std::vector<std::string>{"first"});
    EXPECT_EQ(logLines(dir_.path() / "other0001.log"), std::vector<std::string>{"second"});
    EXPECT_TRUE(logLines(path_).empty());
    EXPECT_TRUE(logLines(other).empty());
    log.reset();
    EXPECT_EQ(async.cancelled, 0);
}

}  // namespace
