// Full scans of a 10,000-row table (an integer, a 25-character text and a
// real per row): ISQLiteDB::exec with a row handler that reads every value of
// the string list it gets, against sqlite3_exec with a callback that reads
// the same values. Both use the system's library; the database object loads
// it by its soname and calls each row's handler through the core's row gate
// (fault guard and exception shield per row).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>

#include "common/utf16.h"
#include "containers/sqlite_db.h"
#include "core/sqlite_gate.h"
#include "platform/fault_guard.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 10000;

// A database file of the run with the table filled.
class Database {
  public:
    Database() {
        std::random_device random;
        do {
            directory_ =
                fs::temp_directory_path() / ("holm-sqlite-bench-" + std::to_string(random()));
        } while (!fs::create_directory(directory_));
        sqlite3* db = nullptr;
        sqlite3_open(path().c_str(), &db);
        sqlite3_exec(
            db,
            "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, value REAL);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)"
            " INSERT INTO t SELECT i, printf('name-%020d', i), i * 0.5 FROM n;",
            nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    ~Database() {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    std::string path() const { return (directory_ / "scan.db").string(); }

  private:
    fs::path directory_;
};

const Database& database() {
    static const Database instance;
    return instance;
}

constexpr const char* kScan = "SELECT id, name, value FROM t;";

void BM_RawExecScan(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open(database().path().c_str(), &db);
    size_t units = 0;
    for (auto _ : state) {
        sqlite3_exec(
            db, kScan,
            [](void* context, int columns, char** values, char**) {
                auto& total = *static_cast<size_t*>(context);
                for (int i = 0; i < columns; ++i) {
                    total += values[i] != nullptr ? std::char_traits<char>::length(values[i]) : 0;
                }
                return 0;
            },
            &units, nullptr);
    }
    benchmark::DoNotOptimize(units);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_RawExecScan)->Unit(benchmark::kMillisecond);

// The floor of a scan through the object: sqlite3_exec as above, each row's
// values converted to UTF-16 into reused texts (the row handler's interface
// is UTF-16) and read under one fault guard per row (the plugin boundary).
void BM_RawExecScanUtf16Guarded(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open(database().path().c_str(), &db);
    struct Scan {
        std::u16string texts[8];
        int columns = 0;
        size_t units = 0;
    } scan;
    for (auto _ : state) {
        sqlite3_exec(
            db, kScan,
            [](void* context, int columns, char** values, char**) {
                auto& row = *static_cast<Scan*>(context);
                row.columns = std::min(columns, 8);
                for (int i = 0; i < row.columns; ++i) {
                    row.texts[i].clear();
                    holm::common::appendUtf8ToUtf16(row.texts[i],
                                                    values[i] != nullptr ? values[i] : "");
                }
                HlmPlg::FaultRecord fault{};
                const bool returned = holm::platform::runWithFaultGuard(
                    [](void* frame) {
                        auto& inner = *static_cast<Scan*>(frame);
                        for (int i = 0; i < inner.columns; ++i) {
                            inner.units +=
                                std::char_traits<char16_t>::length(inner.texts[i].c_str());
                        }
                    },
                    &row, fault);
                return returned ? 0 : 1;
            },
            &scan, nullptr);
    }
    benchmark::DoNotOptimize(scan.units);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_RawExecScanUtf16Guarded)->Unit(benchmark::kMillisecond);

class ReadingHandler : public HlmPlg::ISQLiteRowHandler {
  public:
    bool onRow(HlmPlg::IStringList* row) override {
        auto* iterator = row->createIterator();
        for (const char16_t* value = iterator->first(); value != nullptr;
             value = iterator->next()) {
            units += std::char_traits<char16_t>::length(value);
        }
        row->releaseIterator(iterator);
        return true;
    }
    size_t units = 0;
};

void BM_ObjectExecScan(benchmark::State& state) {
    holm::core::AsyncGate reporting({});
    holm::core::SQLiteRowGate gate(reporting);
    holm::containers::CSQLiteDB db(
        [] { return holm::core::loadSQLiteLibrary(u"/nonexistent/", u"libsqlite3.so.0"); }, gate);
    if (!db.open(holm::common::utf8ToUtf16(database().path()).c_str())) {
        state.SkipWithError("open failed");
        return;
    }
    const std::u16string scan = holm::common::utf8ToUtf16(kScan);
    ReadingHandler handler;
    for (auto _ : state) {
        if (!db.exec(scan.c_str(), &handler)) {
            state.SkipWithError("exec failed");
            return;
        }
    }
    benchmark::DoNotOptimize(handler.units);
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_ObjectExecScan)->Unit(benchmark::kMillisecond);

}  // namespace
