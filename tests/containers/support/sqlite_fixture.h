// The database object's tests over a real SQLite library: a gate that
// catches what handlers throw, a handler that collects rows, and a fixture
// with a database object in a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "containers/sqlite_db.h"
#include "support/test_support.h"

namespace holm::test {

using holm::containers::CSQLiteDB;
using holm::containers::RowFailure;
using holm::containers::RowHandlerGate;
using holm::platform::SharedLibrary;

// Catches what a handler throws and records the reports and when they came.
class TestGate final : public RowHandlerGate {
  public:
    bool run(const HlmPlg::ISQLiteRowHandler*, void (*body)(void*), void* context,
             RowFailure& failure) override {
        ++rowsInFlight;
        try {
            body(context);
            --rowsInFlight;
            return true;
        } catch (...) {
            failure.exception = std::current_exception();
        }
        --rowsInFlight;
        return false;
    }
    void report(const HlmPlg::ISQLiteRowHandler*, const RowFailure& failure) override {
        reportsDuringRow += rowsInFlight;
        try {
            std::rethrow_exception(failure.exception);
        } catch (const std::exception& exception) {
            reports.emplace_back(exception.what());
        } catch (...) {
            reports.emplace_back("foreign");
        }
    }

    int rowsInFlight = 0;
    int reportsDuringRow = 0;
    std::vector<std::string> reports;
};

// The SQLite library: the system's on Linux, the one the product ships on
// Windows.
inline SharedLibrary sqliteLibrary() {
    return SharedLibrary::open(HOLM_TEST_SQLITE_LIBRARY).valueOr({});
}

// Collects rows as UTF-8 texts joined by '|'; stops after `limit` rows.
class Rows : public HlmPlg::ISQLiteRowHandler {
  public:
    bool onRow(HlmPlg::IStringList* row) override {
        std::string line;
        auto* iterator = row->createIterator();
        for (const char16_t* value = iterator->first(); value != nullptr;
             value = iterator->next()) {
            line += (value == iterator->at(0) ? "" : "|") + holm::common::utf16ToUtf8(value);
        }
        row->releaseIterator(iterator);
        rows.push_back(line);
        return static_cast<int>(rows.size()) < limit;
    }
    int limit = 1 << 30;
    std::vector<std::string> rows;
};

class SQLiteDbTest : public ::testing::Test {
  protected:
    std::u16string path(const std::string& name) const {
        return holm::test::u16(dir.path() / name);
    }
    void openWithRows() {
        ASSERT_TRUE(db.open(path("test.db").c_str()))
            << holm::common::utf16ToUtf8(db.getErrorText());
        ASSERT_TRUE(
            db.exec(u"CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, note TEXT);"
                    u"INSERT INTO t(name, note) VALUES ('a', 'x'), ('b', NULL), ('c', 'z');",
                    nullptr));
    }
    std::vector<std::string> select(const char16_t* sql) {
        Rows rows;
        EXPECT_TRUE(db.exec(sql, &rows)) << holm::common::utf16ToUtf8(db.getErrorText());
        return rows.rows;
    }

    holm::test::TempDir dir;
    TestGate gate;
    CSQLiteDB db{sqliteLibrary, gate};
};

}  // namespace holm::test
