// Database objects served by the core: where the SQLite library comes from,
// and row handlers of a real plugin (libsqlite_user.so) that throw, fault or
// call back into the core, run through the real core in a child process of
// this test program (a fault must find the sanitizers told to leave it to the
// core's handler).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "common/utf16.h"
#include "core/sqlite_gate.h"
#include "core/support/host_harness.h"
#include "platform/process_info.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace {

using holm::core::loadSQLiteLibrary;

TEST(SQLiteLibrary, SonameWithoutAProductFileIsTheSystemLibrary) {
    holm::test::TempDir product;
    const std::u16string directory = holm::common::utf8ToUtf16(product.path().string() + "/");
    const auto library = loadSQLiteLibrary(directory, u"libsqlite3.so.0");
    ASSERT_TRUE(library.valid());
    EXPECT_NE(library.symbol("sqlite3_open16"), nullptr);

    EXPECT_FALSE(loadSQLiteLibrary(directory, u"").valid()) << "no master text";
    EXPECT_FALSE(loadSQLiteLibrary(directory, u"lib/libsqlite3.so.0").valid())
        << "a path is never searched for";
}

TEST(SQLiteLibrary, ProductFileMustPassItsSignatureCheck) {
    holm::test::TempDir product;
    std::filesystem::copy_file(std::string(HOLM_TEST_PLUGIN_DIR) + "/libunsigned.so",
                               product.path() / "libsqlite3.so.0");
    const std::u16string directory = holm::common::utf8ToUtf16(product.path().string() + "/");
    EXPECT_FALSE(loadSQLiteLibrary(directory, u"libsqlite3.so.0").valid())
        << "an unsigned file in the product directory is never loaded, nor replaced by the "
           "system's";
}

// Runs a core over libsqlite_user.so with HOLM_SQLITE_CASE as its params and
// prints the host's log and the plugin's records.
TEST(SQLitePluginInChild, Run) {
    const char* params = std::getenv("HOLM_SQLITE_CASE");
    if (params == nullptr) {
        GTEST_SKIP() << "runs only as a child of the SQLitePlugin tests";
    }
    const std::u16string list =
        holm::common::utf8ToUtf16(std::string("@XMLFILE:name=s;file=") + HOLM_TEST_PLUGIN_DIR +
                                  "/libsqlite_user.so;params=name=s," + params);
    holm::test::RecordingHandler host;
    uint32_t runCode = 0;
    uint32_t stopCode = 0;
    std::thread driver([&] {  // the host's service thread
        std::unique_ptr<HlmPlg::IHlmCore> core(
            holm::test::coreEntry()(list.c_str(), &host, nullptr));
        ASSERT_NE(core, nullptr);
        runCode = core->run(false);
        stopCode = core->stop();
    });
    driver.join();
    for (const auto& line : host.logLines()) {
        std::printf("LOG %s\n", holm::common::utf16ToUtf8(line).c_str());
    }
    std::printf("RUN %u STOP %u\n", runCode, stopCode);
}

struct Outcome {
    int exitCode = -1;
    std::string output;
    std::string records;
    bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
    bool recorded(const std::string& line) const {
        return ("\n" + records).find("\n" + line + "\n") != std::string::npos;
    }
};

Outcome runCase(const std::string& action) {
    holm::test::TempDir dir;
    const auto records = dir.path() / "calls.txt";
    const auto result = holm::platform::runProcess(
        {holm::platform::executablePath(), "--gtest_filter=SQLitePluginInChild.Run"},
        {"HOLM_SQLITE_CASE=do=" + action, "HOLM_TEST_PLUGIN_LOG=" + records.string(),
         "HOLM_TEST_SQLITE_DB=" + (dir.path() / "plugin.db").string(),
         "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
         "allow_user_segv_handler=1:detect_leaks=0"},
        std::chrono::seconds(60));
    Outcome outcome;
    outcome.exitCode = result.exitCode.value_or(-1);
    outcome.output = result.output;
    std::ifstream in(records);
    outcome.records.assign(std::istreambuf_iterator<char>(in), {});
    return outcome;
}

// The core ran and stopped cleanly, and the plugin recorded `lines`.
void expectRan(const Outcome& outcome, std::initializer_list<const char*> lines) {
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.has("RUN 0 STOP 0"));
    for (const char* line : lines) {
        EXPECT_TRUE(outcome.recorded(line)) << line;
    }
}

// A handler that fails stops its query, which fails with code 4; the failure
// is reported under the handler's place, the connection stays usable, and the
// object released while open is closed by the core.
void expectFailedQuery(const Outcome& outcome, const std::string& report) {
    SCOPED_TRACE(outcome.output + outcome.records);
    expectRan(outcome, {"s:open:1:", "s:exec:0:4:1", "s:after:1", "s:released"});
    EXPECT_TRUE(outcome.has("ISQLiteRowHandler::onRow: " + report));
}

TEST(SQLitePlugin, HandlerThatThrowsOrFaultsFailsOnlyItsQuery) {
    expectFailedQuery(runCase("throw"), "exception: row");
    expectFailedQuery(runCase("foreign"), "exception: non-standard exception");
    expectFailedQuery(runCase("fault"), "processor fault ACCESS_VIOLATION");
}

TEST(SQLitePlugin, HandlerMayCallBackIntoTheCore) {
    const Outcome outcome = runCase("reenter");
    SCOPED_TRACE(outcome.output + outcome.records);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.recorded("s:row:a:1"));
    EXPECT_TRUE(outcome.recorded("s:row:ax:1") || outcome.recorded("s:row:b:1"));
    EXPECT_TRUE(outcome.recorded("s:nested:1"));
    EXPECT_TRUE(outcome.recorded("s:exec:1:0:2"));
    EXPECT_TRUE(outcome.recorded("s:released"));
    EXPECT_FALSE(outcome.has("ISQLiteRowHandler::onRow"));
}

// Closing or releasing the database from inside its own row handler never
// unloads the library under the running query: close is refused (code 21)
// and the query goes on; a release takes effect when the query returns.
TEST(SQLitePlugin, HandlerThatClosesOrReleasesItsDatabaseLeavesTheProcessRunning) {
    const Outcome closing = runCase("close");
    SCOPED_TRACE(closing.output + closing.records);
    expectRan(closing, {"s:close:0:21", "s:exec:1:0:2", "s:after:1", "s:released"});

    const Outcome releasing = runCase("release");
    SCOPED_TRACE(releasing.output + releasing.records);
    // The query ran to its end after the release.
    expectRan(releasing, {"s:released in row", "s:exec:1:2"});
    EXPECT_FALSE(releasing.has("PM: releaseInterface of an unknown object"));
}

}  // namespace
