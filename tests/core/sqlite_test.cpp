// Database objects served by the core: where the SQLite library comes from,
// and row handlers of a real plugin (libsqlite_user) that throw or call back
// into the core. A handler's processor fault: <system>/sqlite_*_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/utf16.h"
#include "core/sqlite_gate.h"
#include "core/support/host_harness.h"
#include "core/support/sqlite_cases.h"
#include "support/signing_support.h"
#include "support/test_support.h"

namespace {

using holm::core::loadSQLiteLibrary;

// The file name the master texts give the library on this system.
const std::u16string kLibraryName = u"" HOLM_TEST_SQLITE_LIBRARY;

std::u16string directoryOf(const holm::test::TempDir& dir) {
    return holm::test::u16(dir.path()) + u"/";
}

TEST(SQLiteLibrary, TheBuildsProductDirectoryGivesAWorkingLibrary) {
    const auto library =
        loadSQLiteLibrary(holm::common::utf8ToUtf16(holm::test::productDirectory()), kLibraryName);
    ASSERT_TRUE(library.valid());
    EXPECT_NE(library.symbol("sqlite3_open16"), nullptr);
}

TEST(SQLiteLibrary, ProductFileIsLoadedOnlyWithTheProductsSignature) {
    holm::test::TempDir product;
    const auto file = product.path() / holm::test::pathOfUtf8(HOLM_TEST_SQLITE_LIBRARY);
    std::filesystem::copy_file(holm::test::pathOfUtf8(holm::test::plugin("unsigned")), file);
    EXPECT_FALSE(loadSQLiteLibrary(directoryOf(product), kLibraryName).valid())
        << "an unsigned file in the product directory is never loaded, nor replaced by a "
           "library found elsewhere";

    // Signed, the product's file is what loads (this one is no SQLite).
    holm::test::signFileWith(file, holm::test::productSigningKey());
    const auto library = loadSQLiteLibrary(directoryOf(product), kLibraryName);
    ASSERT_TRUE(library.valid());
    EXPECT_EQ(library.symbol("sqlite3_open16"), nullptr);
}

TEST(SQLiteLibrary, NoNameOrAPathLoadsNothing) {
    holm::test::TempDir product;
    EXPECT_FALSE(loadSQLiteLibrary(directoryOf(product), u"").valid()) << "no master text";
    EXPECT_FALSE(loadSQLiteLibrary(directoryOf(product), u"lib/" + kLibraryName).valid())
        << "a path is never searched for";
}

TEST(SQLitePlugin, HandlerThatThrowsFailsOnlyItsQuery) {
    holm::test::expectFailedSQLiteQuery(holm::test::runSQLiteCase("throw"), "exception: row");
    holm::test::expectFailedSQLiteQuery(holm::test::runSQLiteCase("foreign"),
                                        "exception: non-standard exception");
}

TEST(SQLitePlugin, HandlerMayCallBackIntoTheCore) {
    const auto outcome = holm::test::runSQLiteCase("reenter");
    SCOPED_TRACE(outcome.output + outcome.records);
    EXPECT_TRUE(outcome.has("RUN 0 STOP 0"));
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
    const auto closing = holm::test::runSQLiteCase("close");
    SCOPED_TRACE(closing.output + closing.records);
    holm::test::expectSQLiteRan(closing,
                                {"s:close:0:21", "s:exec:1:0:2", "s:after:1", "s:released"});

    const auto releasing = holm::test::runSQLiteCase("release");
    SCOPED_TRACE(releasing.output + releasing.records);
    // The query ran to its end after the release.
    holm::test::expectSQLiteRan(releasing, {"s:released in row", "s:exec:1:2"});
    EXPECT_FALSE(releasing.has("PM: releaseInterface of an unknown object"));
}

}  // namespace
