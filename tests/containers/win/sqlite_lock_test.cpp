// The database object against another process holding the database locked:
// this program run again as a child that opens the database through the
// SQLite library the product ships, holds a write transaction and ends it
// when an event it was named is set.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "containers/support/sqlite_fixture.h"
#include "platform/process_info.h"
#include "platform/spawn.h"

namespace {

using holm::test::CSQLiteDB;
using holm::test::SQLiteDbTest;
using holm::test::sqliteLibrary;
using holm::test::TestGate;

constexpr auto kDeadline = std::chrono::seconds(120);
constexpr const char* kHolding = "LOCK HELD";
constexpr const char* kCommitted = "LOCK COMMITTED";

// An event object of its own name, for the child to wait on.
class ReleaseEvent {
  public:
    ReleaseEvent() {
        static int count = 0;
        name_ = "Local\\holm-sqlite-release-" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(++count);
        event_ = ::CreateEventA(nullptr, TRUE, FALSE, name_.c_str());
    }
    ~ReleaseEvent() {
        if (event_ != nullptr) {
            ::CloseHandle(event_);
        }
    }
    ReleaseEvent(const ReleaseEvent&) = delete;
    ReleaseEvent& operator=(const ReleaseEvent&) = delete;

    bool valid() const { return event_ != nullptr; }
    const std::string& name() const { return name_; }
    bool set() const { return ::SetEvent(event_) != 0; }

  private:
    std::string name_;
    HANDLE event_ = nullptr;
};

// The child run: HOLM_SQLITE_LOCK_DATABASE names the database,
// HOLM_SQLITE_LOCK_RELEASE the event that ends the transaction with a commit.
TEST(SQLiteLockHolderInChild, Run) {
    const char* database = std::getenv("HOLM_SQLITE_LOCK_DATABASE");
    const char* release = std::getenv("HOLM_SQLITE_LOCK_RELEASE");
    if (database == nullptr || release == nullptr) {
        GTEST_SKIP() << "runs only as a child of the database lock tests";
    }
    const HANDLE event = ::OpenEventA(SYNCHRONIZE, FALSE, release);
    ASSERT_NE(event, nullptr) << ::GetLastError();
    TestGate gate;
    CSQLiteDB db{sqliteLibrary, gate};
    ASSERT_TRUE(db.open(holm::common::utf8ToUtf16(database).c_str()));
    ASSERT_TRUE(db.exec(u"BEGIN EXCLUSIVE; INSERT INTO t(name) VALUES ('other');", nullptr))
        << holm::common::utf16ToUtf8(db.getErrorText());
    std::printf("%s\n", kHolding);
    std::fflush(stdout);
    const DWORD waited = ::WaitForSingleObject(
        event, static_cast<DWORD>(std::chrono::milliseconds(kDeadline).count()));
    ::CloseHandle(event);
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    ASSERT_TRUE(db.exec(u"COMMIT;", nullptr)) << holm::common::utf16ToUtf8(db.getErrorText());
    std::printf("%s\n", kCommitted);
    std::fflush(stdout);
}

// Starts the child on the fixture's database and waits until it says it holds
// the lock; an empty process when it does not.
holm::platform::ChildProcess startHolder(const std::string& database, const ReleaseEvent& release) {
    auto child = holm::platform::ChildProcess::start(
        {holm::platform::executablePath(), "--gtest_filter=SQLiteLockHolderInChild.Run"},
        {"HOLM_SQLITE_LOCK_DATABASE=" + database, "HOLM_SQLITE_LOCK_RELEASE=" + release.name()});
    EXPECT_TRUE(child.ok());
    if (!child.ok()) {
        return holm::platform::ChildProcess();
    }
    const bool holding = child->waitForOutput(kHolding, kDeadline);
    EXPECT_TRUE(holding) << child->output();
    return holding ? std::move(*child) : holm::platform::ChildProcess();
}

// While another process holds the database locked, exec fails at once with
// SQLite's code 5; with a busy timeout the plugin set itself it waits and
// succeeds once the other process commits, and both rows are kept.
TEST_F(SQLiteDbTest, LockHeldByAnotherProgramFailsWithFiveUnlessTheBusyTimeoutWaits) {
    openWithRows();
    ReleaseEvent release;
    ASSERT_TRUE(release.valid());
    auto holder = startHolder(holm::test::utf8(dir.path() / "test.db"), release);
    ASSERT_TRUE(holder.valid());

    EXPECT_FALSE(db.exec(u"INSERT INTO t(name) VALUES ('mine');", nullptr));
    EXPECT_EQ(db.getErrorCode(), 5);
    EXPECT_EQ(std::u16string(db.getErrorText()), u"database is locked");
    EXPECT_FALSE(db.exec(u"SELECT count(*) FROM t;", nullptr)) << "no reader past the lock";
    EXPECT_EQ(db.getErrorCode(), 5);

    ASSERT_TRUE(db.exec(u"PRAGMA busy_timeout = 60000;", nullptr));
    // The row handler runs just before the insert that meets the lock; the
    // other process may commit from then on. The insert ends either way
    // within the busy timeout, so its end is awaited beside the handler.
    struct Progress : HlmPlg::ISQLiteRowHandler {
        bool onRow(HlmPlg::IStringList*) override {
            std::lock_guard guard(lock);
            reached = true;
            changed.notify_all();
            return true;
        }
        std::mutex lock;
        std::condition_variable changed;
        bool reached = false;
        bool ended = false;
        bool inserted = false;
        std::string error;
    } progress;
    std::thread writer([&] {
        const bool inserted =
            db.exec(u"SELECT 'about to insert'; INSERT INTO t(name) VALUES ('mine');", &progress);
        std::lock_guard guard(progress.lock);
        progress.inserted = inserted;
        progress.error = holm::common::utf16ToUtf8(db.getErrorText());
        progress.ended = true;
        progress.changed.notify_all();
    });
    {
        std::unique_lock guard(progress.lock);
        EXPECT_TRUE(progress.changed.wait_for(guard, kDeadline,
                                              [&] { return progress.reached || progress.ended; }));
        EXPECT_TRUE(progress.reached) << progress.error;
    }
    EXPECT_TRUE(release.set());
    writer.join();
    EXPECT_TRUE(progress.inserted) << progress.error;
    EXPECT_EQ(holder.wait(kDeadline), 0) << holder.output();
    EXPECT_NE(holder.output().find(kCommitted), std::string::npos) << holder.output();
    EXPECT_EQ(select(u"SELECT name FROM t WHERE id > 3 ORDER BY id;"),
              (std::vector<std::string>{"other", "mine"}));
}

// A holder that is ended in its transaction takes the lock with it and
// leaves nothing of its transaction: the database opens and writes as
// before, without waiting.
TEST_F(SQLiteDbTest, AnotherProgramEndedWhileHoldingTheLockLeavesItsTransactionUndone) {
    openWithRows();
    ReleaseEvent release;
    ASSERT_TRUE(release.valid());
    auto holder = startHolder(holm::test::utf8(dir.path() / "test.db"), release);
    ASSERT_TRUE(holder.valid());
    EXPECT_FALSE(db.exec(u"INSERT INTO t(name) VALUES ('mine');", nullptr));
    EXPECT_EQ(db.getErrorCode(), 5);

    ASSERT_TRUE(holder.sendSignal(holm::platform::ChildSignal::Terminate));
    EXPECT_TRUE(holder.wait(kDeadline).has_value()) << holder.output();
    EXPECT_EQ(holder.output().find(kCommitted), std::string::npos) << holder.output();

    EXPECT_TRUE(db.exec(u"INSERT INTO t(name) VALUES ('mine');", nullptr))
        << holm::common::utf16ToUtf8(db.getErrorText());
    EXPECT_EQ(select(u"SELECT name FROM t ORDER BY id;"),
              (std::vector<std::string>{"a", "b", "c", "mine"}));
    ASSERT_TRUE(db.close());
    CSQLiteDB reopened{sqliteLibrary, gate};
    ASSERT_TRUE(reopened.open(path("test.db").c_str()));
    holm::test::Rows rows;
    ASSERT_TRUE(reopened.exec(u"PRAGMA integrity_check;", &rows));
    EXPECT_EQ(rows.rows, std::vector<std::string>{"ok"});
}

}  // namespace
