// The SQLite library of the system, and a row handler's processor fault run
// in a child process of this test program (a fault must find the sanitizers
// told to leave it to the core's handler).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/utf16.h"
#include "core/sqlite_gate.h"
#include "core/support/sqlite_cases.h"
#include "platform/process_info.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace {

TEST(SQLiteSystemLibrary, SonameWithoutAProductFileIsTheSystemLibrary) {
    holm::test::TempDir product;
    const auto library =
        holm::core::loadSQLiteLibrary(holm::test::u16(product.path()) + u"/", u"libsqlite3.so.0");
    ASSERT_TRUE(library.valid());
    EXPECT_NE(library.symbol("sqlite3_open16"), nullptr);
}

// Runs a core over libsqlite_user with the action HOLM_SQLITE_CASE and prints
// what it left (holm::test::SQLiteOutcome::output).
TEST(SQLitePluginInChild, Run) {
    const char* action = std::getenv("HOLM_SQLITE_CASE");
    if (action == nullptr) {
        GTEST_SKIP() << "runs only as a child of the SQLitePluginFault tests";
    }
    std::fputs(holm::test::runSQLiteCore(action).c_str(), stdout);
}

holm::test::SQLiteOutcome runCaseInChild(const std::string& action) {
    holm::test::TempDir dir;
    const auto records = dir.path() / "calls.txt";
    const auto result = holm::platform::runProcess(
        {holm::platform::executablePath(), "--gtest_filter=SQLitePluginInChild.Run"},
        {"HOLM_SQLITE_CASE=" + action, "HOLM_TEST_PLUGIN_LOG=" + records.string(),
         "HOLM_TEST_SQLITE_DB=" + (dir.path() / "plugin.db").string(),
         "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
         "allow_user_segv_handler=1:detect_leaks=0"},
        std::chrono::seconds(60));
    holm::test::SQLiteOutcome outcome;
    outcome.exitCode = result.exitCode.value_or(-1);
    outcome.output = result.output;
    outcome.records = holm::test::bytesOf(records);
    return outcome;
}

TEST(SQLitePluginFault, HandlerThatFaultsFailsOnlyItsQuery) {
    holm::test::expectFailedSQLiteQuery(runCaseInChild("fault"),
                                        "processor fault ACCESS_VIOLATION");
}

}  // namespace
