// The database object over a real SQLite library (the system's on Linux, the
// one the product ships on Windows): open failures and their texts, rows
// handed to handlers, transactions, formatted SQL, locks between
// connections, and handlers that fail or run a nested query. Faults in
// handlers go through the core's gate and are tested with it
// (tests/core/sqlite_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "containers/sqlite_db.h"
#include "containers/support/sqlite_fixture.h"
#include "support/test_support.h"

namespace {

using holm::test::CSQLiteDB;
using holm::test::Rows;
using holm::test::SharedLibrary;
using holm::test::SQLiteDbTest;
using holm::test::sqliteLibrary;

TEST_F(SQLiteDbTest, LibraryFailuresGiveCodeOneAndTheirTexts) {
    CSQLiteDB missing([] { return SharedLibrary(); }, gate);
    EXPECT_FALSE(missing.open(path("a.db").c_str()));
    EXPECT_EQ(missing.getErrorCode(), 1);
    EXPECT_EQ(std::u16string(missing.getErrorText()), u"unable to load sqlite3.dll");
    EXPECT_FALSE(missing.close()) << "nothing stays loaded";

    CSQLiteDB incomplete(
        [] { return SharedLibrary::open(HOLM_TEST_NOT_SQLITE_LIBRARY).valueOr({}); }, gate);
    EXPECT_FALSE(incomplete.open(path("a.db").c_str()));
    EXPECT_EQ(incomplete.getErrorCode(), 1);
    EXPECT_EQ(std::u16string(incomplete.getErrorText()),
              u"unable to find function 'sqlite3_open16'");
    EXPECT_FALSE(incomplete.close());
}

TEST_F(SQLiteDbTest, OpenFailureTakesTheDatabaseErrorAndUnloads) {
    EXPECT_FALSE(db.open(path("no/such/dir/a.db").c_str()));
    EXPECT_EQ(db.getErrorCode(), 14);  // cannot open
    EXPECT_EQ(std::u16string(db.getErrorText()), u"unable to open database file");
    EXPECT_FALSE(db.close());
    EXPECT_FALSE(db.open(nullptr));
    EXPECT_FALSE(db.exec(u"SELECT 1;", nullptr)) << "no database open";
    EXPECT_EQ(db.getErrorCode(), 21);
}

TEST_F(SQLiteDbTest, SecondOpenIsRefusedAndCloseEndsTheState) {
    EXPECT_FALSE(db.close()) << "never opened";
    openWithRows();
    EXPECT_FALSE(db.open(path("other.db").c_str()));
    EXPECT_EQ(db.getErrorCode(), 21);
    EXPECT_EQ(select(u"SELECT count(*) FROM t;"), std::vector<std::string>{"3"})
        << "the first database stays open";
    EXPECT_TRUE(db.close());
    EXPECT_FALSE(db.close());
    ASSERT_TRUE(db.open(path("test.db").c_str()));
    EXPECT_EQ(select(u"SELECT name FROM t WHERE id = 3;"), std::vector<std::string>{"c"});
}

TEST_F(SQLiteDbTest, RowsReachTheHandlerWithNullAsEmptyAndAStopIsNoError) {
    openWithRows();
    EXPECT_EQ(select(u"SELECT name, note FROM t ORDER BY id;"),
              (std::vector<std::string>{"a|x", "b|", "c|z"}));
    Rows first;
    first.limit = 1;
    EXPECT_TRUE(db.exec(u"SELECT name FROM t ORDER BY id;", &first));
    EXPECT_EQ(first.rows, std::vector<std::string>{"a"});
    EXPECT_EQ(db.getErrorCode(), 0);
    EXPECT_TRUE(db.exec(u"SELECT name FROM t;", nullptr)) << "rows without a handler are dropped";
}

TEST_F(SQLiteDbTest, EmptyTextAndSyntaxErrors) {
    openWithRows();
    EXPECT_FALSE(db.exec(u"", nullptr));
    EXPECT_FALSE(db.exec(nullptr, nullptr));
    EXPECT_EQ(db.getErrorCode(), 0);
    EXPECT_FALSE(db.exec(u"SELEC name FROM t;", nullptr));
    EXPECT_EQ(db.getErrorCode(), 1);
    EXPECT_EQ(std::u16string(db.getErrorText()), u"near \"SELEC\": syntax error");
    EXPECT_TRUE(db.exec(u"SELECT 1;", nullptr));
    EXPECT_EQ(db.getErrorCode(), 0) << "each exec clears the error";
    EXPECT_EQ(std::u16string(db.getErrorText()), u"");
}

TEST_F(SQLiteDbTest, RollbackLeavesTheTableAndRowIdsAre64Bit) {
    openWithRows();
    ASSERT_TRUE(db.begin());
    ASSERT_TRUE(db.exec(u"INSERT INTO t(name) VALUES ('d');", nullptr));
    ASSERT_TRUE(db.exec(u"INSERT INTO t(name) VALUES ('e');", nullptr));
    ASSERT_TRUE(db.end(false));
    EXPECT_EQ(select(u"SELECT count(*) FROM t;"), std::vector<std::string>{"3"});

    ASSERT_TRUE(db.exec(u"INSERT INTO t(id, name) VALUES (8589934592, 'big');", nullptr));
    EXPECT_EQ(db.lastInsertRowId(), 8589934592LL);
    ASSERT_TRUE(db.begin());
    ASSERT_TRUE(db.exec(u"INSERT INTO t(name) VALUES ('f');", nullptr));
    ASSERT_TRUE(db.end(true));
    EXPECT_EQ(db.lastInsertRowId(), 8589934593LL);
    EXPECT_FALSE(db.end(true)) << "no transaction is open";
    EXPECT_EQ(db.getErrorCode(), 1);
}

TEST_F(SQLiteDbTest, FileThatIsNotADatabaseFailsItsFirstStatement) {
    const auto file = dir.write("junk.db", std::string(4096, 'x'));
    ASSERT_TRUE(db.open(holm::test::u16(file).c_str()));
    EXPECT_FALSE(db.exec(u"SELECT * FROM sqlite_master;", nullptr));
    EXPECT_EQ(db.getErrorCode(), 26);
    EXPECT_EQ(std::u16string(db.getErrorText()), u"file is not a database");
}

TEST_F(SQLiteDbTest, BrokenTextIsReplacedNeverMisread) {
    // A UTF-8 database hands stored bytes through as they are.
    ASSERT_TRUE(db.open(path("utf8.db").c_str()));
    ASSERT_TRUE(db.exec(u"PRAGMA encoding = 'UTF-8'; CREATE TABLE t(name TEXT);", nullptr));
    // A lone surrogate in the SQL, and invalid UTF-8 stored in a value.
    const std::u16string sql = u"INSERT INTO t VALUES ('x\xD800y');";
    ASSERT_TRUE(db.exec(sql.c_str(), nullptr));
    ASSERT_TRUE(db.exec(u"INSERT INTO t VALUES (CAST(x'61FF62' AS TEXT));", nullptr));
    EXPECT_EQ(select(u"SELECT name FROM t ORDER BY rowid;"),
              (std::vector<std::string>{"x\xEF\xBF\xBDy",
                                        "a\xEF\xBF\xBD"
                                        "b"}));
}

TEST_F(SQLiteDbTest, FormatsBuildTheStatementAndQuoteValues) {
    openWithRows();
    const char16_t* hostile = u"o'x'); DROP TABLE t; --";
    EXPECT_TRUE(db.execFormatNoRows(u"INSERT INTO t(id, name, note) VALUES (%d, '%q', %Q);", 10,
                                    hostile, static_cast<const char16_t*>(nullptr)));
    EXPECT_TRUE(db.execFormatNoRows(u"INSERT INTO t(id, name) VALUES (%2!d!, %1!Q!);", u"it's",
                                    11));  // note stays NULL
    Rows rows;
    EXPECT_TRUE(db.execFormat(
        &rows, u"SELECT name, note IS NULL FROM t WHERE id >= %I64d ORDER BY id;", int64_t{10}));
    EXPECT_EQ(rows.rows, (std::vector<std::string>{"o'x'); DROP TABLE t; --|1", "it's|1"}));
    EXPECT_FALSE(db.execFormatNoRows(u"%s", u""));
    EXPECT_EQ(db.getErrorCode(), 0);
}

TEST_F(SQLiteDbTest, HandlerThatThrowsFailsTheQueryAndIsReportedAfterIt) {
    openWithRows();
    struct Thrower : HlmPlg::ISQLiteRowHandler {
        bool onRow(HlmPlg::IStringList*) override {
            ++calls;
            throw std::runtime_error("row handler failed");
        }
        int calls = 0;
    } thrower;
    EXPECT_FALSE(db.exec(u"SELECT name FROM t;", &thrower));
    EXPECT_EQ(thrower.calls, 1);
    EXPECT_EQ(db.getErrorCode(), 4);
    EXPECT_EQ(gate.reports, std::vector<std::string>{"row handler failed"});
    EXPECT_EQ(gate.reportsDuringRow, 0);
    EXPECT_EQ(select(u"SELECT count(*) FROM t;"), std::vector<std::string>{"3"})
        << "the connection stays usable";
}

TEST_F(SQLiteDbTest, HandlerMayRunANestedQuery) {
    openWithRows();
    struct Nested : HlmPlg::ISQLiteRowHandler {
        bool onRow(HlmPlg::IStringList* row) override {
            auto* iterator = row->createIterator();
            const std::u16string name = iterator->first();
            row->releaseIterator(iterator);
            Rows inner;
            ok = ok && db->execFormat(&inner, u"SELECT upper(%Q);", name.c_str()) &&
                 db->execFormatNoRows(u"INSERT INTO log VALUES (%Q);", name.c_str());
            seen.push_back(inner.rows.empty() ? "" : inner.rows[0]);
            iterator = row->createIterator();
            ok = ok && std::u16string(iterator->first()) == name;  // the outer row is intact
            row->releaseIterator(iterator);
            return true;
        }
        CSQLiteDB* db = nullptr;
        bool ok = true;
        std::vector<std::string> seen;
    } nested;
    nested.db = &db;
    ASSERT_TRUE(db.exec(u"CREATE TABLE log(name TEXT);", nullptr));
    EXPECT_TRUE(db.exec(u"SELECT name FROM t ORDER BY id;", &nested));
    EXPECT_TRUE(nested.ok);
    EXPECT_EQ(nested.seen, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(select(u"SELECT count(*) FROM log;"), std::vector<std::string>{"3"});
}

// Close from a row handler is refused and the query goes on; a release from a
// row handler (of the outer query or of a nested one) leaves the connection
// open until the outermost exec returns, then closes it: its open write
// transaction ends, and another connection can write again.
TEST_F(SQLiteDbTest, HandlerThatClosesOrReleasesNeverEndsTheRunningQuery) {
    openWithRows();
    struct Closer : HlmPlg::ISQLiteRowHandler {
        bool onRow(HlmPlg::IStringList*) override {
            closed = closed || db->close();
            code = db->getErrorCode();
            ++rows;
            return true;
        }
        CSQLiteDB* db = nullptr;
        bool closed = false;
        int code = 0;
        int rows = 0;
    } closer;
    closer.db = &db;
    EXPECT_TRUE(db.exec(u"SELECT name FROM t;", &closer));
    EXPECT_FALSE(closer.closed);
    EXPECT_EQ(closer.code, 21);
    EXPECT_EQ(closer.rows, 3);
    EXPECT_EQ(select(u"SELECT count(*) FROM t;"), std::vector<std::string>{"3"});
    EXPECT_TRUE(db.close()) << "outside a query close works";

    for (const bool nested : {false, true}) {
        SCOPED_TRACE(nested ? "released in a nested query" : "released in the query");
        auto* owned = new CSQLiteDB(sqliteLibrary, gate);
        ASSERT_TRUE(owned->open(path("test.db").c_str()));
        ASSERT_TRUE(owned->begin());
        ASSERT_TRUE(owned->exec(u"INSERT INTO t(name) VALUES ('held');", nullptr));
        CSQLiteDB other{sqliteLibrary, gate};
        ASSERT_TRUE(other.open(path("test.db").c_str()));
        struct Releaser : HlmPlg::ISQLiteRowHandler {
            bool onRow(HlmPlg::IStringList*) override {
                if (nested && !released) {
                    nested = false;
                    Releaser inner = *this;
                    (void)db->exec(u"SELECT 1;", &inner);
                    released = inner.released;
                    stillLocked = inner.stillLocked;
                } else if (!released) {
                    released = true;
                    db->destroyWhenIdle();
                    // The connection is still open: its transaction holds.
                    stillLocked = !other->exec(u"INSERT INTO t(name) VALUES ('x');", nullptr) &&
                                  other->getErrorCode() == 5;
                }
                ++rows;
                return true;
            }
            CSQLiteDB* db = nullptr;
            CSQLiteDB* other = nullptr;
            bool nested = false;
            bool released = false;
            bool stillLocked = false;
            int rows = 0;
        } releaser;
        releaser.db = owned;
        releaser.other = &other;
        releaser.nested = nested;
        EXPECT_TRUE(owned->exec(u"SELECT name FROM t ORDER BY id;", &releaser));
        EXPECT_TRUE(releaser.released);
        EXPECT_TRUE(releaser.stillLocked);
        EXPECT_EQ(releaser.rows, 4);
        // Gone now: the transaction was rolled back with the connection.
        EXPECT_TRUE(other.exec(u"INSERT INTO t(name) VALUES ('after');", nullptr))
            << holm::common::utf16ToUtf8(other.getErrorText());
        EXPECT_TRUE(other.exec(u"DELETE FROM t WHERE name = 'after';", nullptr));
    }
}

// While another connection holds the database locked, exec fails at once
// with SQLite's code 5; with a busy timeout the plugin set itself it waits
// and succeeds once the other connection commits.
TEST_F(SQLiteDbTest, LockedDatabaseFailsWithFiveUnlessTheBusyTimeoutWaits) {
    openWithRows();
    CSQLiteDB other{sqliteLibrary, gate};
    ASSERT_TRUE(other.open(path("test.db").c_str()));
    ASSERT_TRUE(other.exec(u"BEGIN EXCLUSIVE; INSERT INTO t(name) VALUES ('other');", nullptr));
    EXPECT_FALSE(db.exec(u"INSERT INTO t(name) VALUES ('mine');", nullptr));
    EXPECT_EQ(db.getErrorCode(), 5);
    EXPECT_EQ(std::u16string(db.getErrorText()), u"database is locked");

    ASSERT_TRUE(db.exec(u"PRAGMA busy_timeout = 60000;", nullptr));
    // The row handler runs just before the insert that meets the lock; the
    // other connection commits from then on. (A promise, not an atomic wait:
    // this toolchain's atomic waits lose wake-ups on Windows.)
    struct Signal : HlmPlg::ISQLiteRowHandler {
        bool onRow(HlmPlg::IStringList*) override {
            reached.set_value();
            return true;
        }
        std::promise<void> reached;
    } signal;
    auto reached = signal.reached.get_future();
    bool inserted = false;
    std::thread writer([&] {
        inserted =
            db.exec(u"SELECT 'about to insert'; INSERT INTO t(name) VALUES ('mine');", &signal);
    });
    EXPECT_EQ(reached.wait_for(std::chrono::minutes(1)), std::future_status::ready);
    EXPECT_TRUE(other.exec(u"COMMIT;", nullptr));
    writer.join();
    EXPECT_TRUE(inserted) << holm::common::utf16ToUtf8(db.getErrorText());
    EXPECT_EQ(select(u"SELECT name FROM t WHERE id > 3 ORDER BY id;"),
              (std::vector<std::string>{"other", "mine"}));
}

}  // namespace
