#include "core/support/sqlite_cases.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "common/utf16.h"
#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace holm::test {

std::string runSQLiteCore(const std::string& action) {
    const std::u16string list = common::utf8ToUtf16(
        "@XMLFILE:name=s;file=" + plugin("sqlite_user") + ";params=name=s,do=" + action);
    RecordingHandler host;
    uint32_t runCode = 0;
    uint32_t stopCode = 0;
    bool created = false;
    std::thread driver([&] {  // the host's service thread
        std::unique_ptr<HlmPlg::IHlmCore> core(coreEntry()(list.c_str(), &host, nullptr));
        created = core != nullptr;
        if (created) {
            runCode = core->run(false);
            stopCode = core->stop();
        }
    });
    driver.join();
    std::string output;
    for (const auto& line : host.logLines()) {
        output += "LOG " + common::utf16ToUtf8(line) + "\n";
    }
    if (created) {
        output += "RUN " + std::to_string(runCode) + " STOP " + std::to_string(stopCode) + "\n";
    }
    return output;
}

SQLiteOutcome runSQLiteCase(const std::string& action) {
    TempDir dir;
    const auto records = dir.path() / "calls.txt";
    setEnvironment("HOLM_TEST_PLUGIN_LOG", records);
    setEnvironment("HOLM_TEST_SQLITE_DB", dir.path() / "plugin.db");
    SQLiteOutcome outcome;
    outcome.output = runSQLiteCore(action);
    unsetEnvironment("HOLM_TEST_PLUGIN_LOG");
    unsetEnvironment("HOLM_TEST_SQLITE_DB");
    outcome.records = bytesOf(records);
    std::erase(outcome.records, '\r');  // the plugin writes text lines (CRLF on Windows)
    return outcome;
}

void expectSQLiteRan(const SQLiteOutcome& outcome, std::initializer_list<const char*> lines) {
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.has("RUN 0 STOP 0"));
    for (const char* line : lines) {
        EXPECT_TRUE(outcome.recorded(line)) << line;
    }
}

void expectFailedSQLiteQuery(const SQLiteOutcome& outcome, const std::string& report) {
    SCOPED_TRACE(outcome.output + outcome.records);
    expectSQLiteRan(outcome, {"s:open:1:", "s:exec:0:4:1", "s:after:1", "s:released"});
    EXPECT_TRUE(outcome.has("ISQLiteRowHandler::onRow: " + report));
}

}  // namespace holm::test
