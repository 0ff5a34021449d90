// Runs the database test plugin (libsqlite_user, tests/plugins/
// sqlite_plugin.cpp) through the real core: its row handlers throw, fault or
// call back into the core, as HOLM_TEST_PLUGIN_LOG and HOLM_TEST_SQLITE_DB
// and the action ("do=<action>" of its params) tell it.
#pragma once

#include <initializer_list>
#include <string>

namespace holm::test {

// What a run of the plugin left: the host's log lines ("LOG <line>") and the
// codes of the core's run and stop ("RUN <code> STOP <code>"), and the lines
// the plugin recorded.
struct SQLiteOutcome {
    int exitCode = 0;  // of the process that ran the core
    std::string output;
    std::string records;

    bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
    bool recorded(const std::string& line) const {
        return ("\n" + records).find("\n" + line + "\n") != std::string::npos;
    }
};

// Runs a core over the plugin (named "s") with `action`, on a thread of its
// own as a host runs it, in this process; the plugin's environment is set by
// the caller. Returns the output as SQLiteOutcome::output holds it.
std::string runSQLiteCore(const std::string& action);

// Sets the plugin's environment to files in a fresh directory, runs
// runSQLiteCore in this process and collects the outcome.
SQLiteOutcome runSQLiteCase(const std::string& action);

// The core ran and stopped cleanly, and the plugin recorded `lines`.
void expectSQLiteRan(const SQLiteOutcome& outcome, std::initializer_list<const char*> lines);

// A handler that fails stops its query, which fails with code 4; the failure
// is reported under the handler's place with `report`, the connection stays
// usable, and the object released while open is closed by the core.
void expectFailedSQLiteQuery(const SQLiteOutcome& outcome, const std::string& report);

}  // namespace holm::test
