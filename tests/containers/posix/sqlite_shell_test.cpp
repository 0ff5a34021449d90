// The database object against the sqlite3 program beside the system's
// library: a lock held by another process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "containers/support/sqlite_fixture.h"

namespace {

using holm::test::SQLiteDbTest;

// The sqlite3 program, fed statements through a pipe; its output is read
// back to learn when a statement is done.
class SQLiteShell {
  public:
    explicit SQLiteShell(const std::string& database) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execlp("sqlite3", "sqlite3", "-batch", database.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~SQLiteShell() {
        ::close(input_);  // the shell ends at the end of its input
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) < 0) {
            ::kill(pid_, SIGKILL);
        }
        ::close(output_);
    }
    SQLiteShell(const SQLiteShell&) = delete;
    SQLiteShell& operator=(const SQLiteShell&) = delete;

    // Sends `statements` followed by a SELECT of a marker and waits (up to
    // a minute) until the shell printed the marker: the statements are done.
    bool run(const std::string& statements) {
        static int count = 0;
        const std::string marker = "done-" + std::to_string(++count);
        const std::string text = statements + "\nSELECT '" + marker + "';\n";
        if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            return false;
        }
        while (printed_.find(marker) == std::string::npos) {
            pollfd ready{output_, POLLIN, 0};
            char buffer[256];
            if (::poll(&ready, 1, 60000) != 1) {
                return false;
            }
            const ssize_t got = ::read(output_, buffer, sizeof buffer);
            if (got <= 0) {
                return false;
            }
            printed_.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string printed_;
};

// While another program (the sqlite3 shell) holds the database locked, exec fails at once with
// SQLite's code 5; with a busy timeout the plugin set itself it waits and
// succeeds once the other program commits.
TEST_F(SQLiteDbTest, LockHeldByAnotherProgramFailsWithFiveUnlessTheBusyTimeoutWaits) {
    if (::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "the sqlite3 program is not installed";
    }
    openWithRows();
    SQLiteShell shell((dir.path() / "test.db").string());
    ASSERT_TRUE(shell.run("BEGIN EXCLUSIVE; INSERT INTO t(name) VALUES ('shell');"));
    EXPECT_FALSE(db.exec(u"INSERT INTO t(name) VALUES ('mine');", nullptr));
    EXPECT_EQ(db.getErrorCode(), 5);
    EXPECT_EQ(std::u16string(db.getErrorText()), u"database is locked");

    ASSERT_TRUE(db.exec(u"PRAGMA busy_timeout = 60000;", nullptr));
    // The row handler runs just before the insert that meets the lock; it
    // lets the shell commit from then on.
    struct Signal : HlmPlg::ISQLiteRowHandler {
        bool onRow(HlmPlg::IStringList*) override {
            reached.test_and_set();
            reached.notify_all();
            return true;
        }
        std::atomic_flag reached;
    } signal;
    bool inserted = false;
    std::thread writer([&] {
        inserted =
            db.exec(u"SELECT 'about to insert'; INSERT INTO t(name) VALUES ('mine');", &signal);
    });
    signal.reached.wait(false);
    EXPECT_TRUE(shell.run("COMMIT;"));
    writer.join();
    EXPECT_TRUE(inserted) << holm::common::utf16ToUtf8(db.getErrorText());
    EXPECT_EQ(select(u"SELECT name FROM t WHERE id > 3 ORDER BY id;"),
              (std::vector<std::string>{"shell", "mine"}));
}

}  // namespace
