// A plugin that uses a database object (id 19) through the facade while it
// starts, for the database tests of the core. Params fields (separated by ','):
//   name=<name>   the plugin's name (default "sqlite")
//   do=<action>   what the row handler of the query does with each row:
//                 reenter (calls back into the core: makes and releases a
//                 string list through the facade, runs a nested statement),
//                 throw (std::runtime_error "row"), fault (writes to address
//                 0), foreign (throws an int), close (closes the database:
//                 refused), release (releases the database object: it goes
//                 when the query returns)
// The database is the file HOLM_TEST_SQLITE_DB. Results are recorded as
// "<name>:<step>:<values>" in HOLM_TEST_PLUGIN_LOG. The object is released
// while still open: the core closes it. Built without sanitizers, so that a
// fault reaches the core's handler.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "hlmplg/hlmplg.h"

namespace {

volatile uintptr_t gZero = 0;

std::string narrow(const char16_t* text) {
    std::string result;
    for (; text != nullptr && *text != 0; ++text) {
        result += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return result;
}

std::string field(const std::string& params, const std::string& key) {
    const std::string prefix = key + "=";
    size_t start = 0;
    while (start <= params.size()) {
        const size_t end = params.find(',', start);
        const std::string item = params.substr(start, end == std::string::npos ? end : end - start);
        if (item.rfind(prefix, 0) == 0) {
            return item.substr(prefix.size());
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return {};
}

void record(const std::string& line) {
    if (const char* path = std::getenv("HOLM_TEST_PLUGIN_LOG")) {
        std::ofstream(path, std::ios::app) << line << '\n';
    }
}

class SQLitePlugin;

class RowHandler : public HlmPlg::ISQLiteRowHandler {
  public:
    RowHandler(SQLitePlugin& plugin, std::string action)
        : plugin_(plugin), action_(std::move(action)) {}
    bool onRow(HlmPlg::IStringList* row) override;
    int rows = 0;

  private:
    SQLitePlugin& plugin_;
    std::string action_;
};

class SQLitePlugin : public HlmPlg::CHlmPlg {
  public:
    SQLitePlugin(HlmPlg::IHlmPlg* facade, const std::string& params)
        : CHlmPlg(u"sqlite", facade), action_(field(params, "do")) {
        const std::string name = field(params, "name");
        name_ = name.empty() ? "sqlite" : name;
    }

    bool start() override {
        if (!CHlmPlg::start()) {
            return false;
        }
        auto* db =
            dynamic_cast<HlmPlg::ISQLiteDB*>(createInterfaceFromFacade(HlmPlg::IID_SQLITEDB));
        record(name_ + ":created:" + (db != nullptr ? "1" : "0"));
        if (db == nullptr) {
            return true;
        }
        db_ = db;
        const char* path = std::getenv("HOLM_TEST_SQLITE_DB");
        std::u16string widePath;
        for (const char* p = path != nullptr ? path : ""; *p != 0; ++p) {
            widePath += static_cast<char16_t>(static_cast<unsigned char>(*p));
        }
        const bool opened = db->open(widePath.c_str());
        record(name_ + ":open:" + (opened ? "1" : "0") + ":" + narrow(db->getErrorText()));
        db->exec(u"CREATE TABLE t(name TEXT); INSERT INTO t VALUES ('a'), ('b');", nullptr);
        RowHandler handler(*this, action_);
        const bool result = db->exec(u"SELECT name FROM t ORDER BY name;", &handler);
        if (released_) {
            record(name_ + ":exec:" + (result ? "1" : "0") + ":" + std::to_string(handler.rows));
            return true;  // the object is gone
        }
        record(name_ + ":exec:" + (result ? "1" : "0") + ":" + std::to_string(db->getErrorCode()) +
               ":" + std::to_string(handler.rows));
        const bool after = db->exec(u"SELECT 1;", nullptr);
        record(name_ + ":after:" + (after ? "1" : "0"));
        db_ = nullptr;
        releaseInterfaceToFacade(HlmPlg::IID_SQLITEDB, db);  // still open
        record(name_ + ":released");
        return true;
    }

    // Calls back into the core from inside a row: the facade and the database.
    void reenter(HlmPlg::IStringList* row) {
        auto* list =
            dynamic_cast<HlmPlg::IStringList*>(createInterfaceFromFacade(HlmPlg::IID_STRINGLIST));
        auto* iterator = row->createIterator();
        const std::u16string value = iterator->first();
        row->releaseIterator(iterator);
        if (list != nullptr) {
            list->add(value.c_str());
            record(name_ + ":row:" + narrow(value.c_str()) + ":" +
                   std::to_string(list->getCount()));
            releaseInterfaceToFacade(HlmPlg::IID_STRINGLIST, list);
        }
        const bool nested =
            db_->execFormatNoRows(u"INSERT INTO t VALUES (%Q || 'x');", value.c_str());
        record(name_ + ":nested:" + (nested ? "1" : "0"));
    }

    void closeOrRelease() {
        if (action_ == "close") {
            const bool closed = db_->close();
            record(name_ + ":close:" + (closed ? "1" : "0") + ":" +
                   std::to_string(db_->getErrorCode()));
        } else if (!released_) {
            released_ = true;
            releaseInterfaceToFacade(HlmPlg::IID_SQLITEDB, db_);
            record(name_ + ":released in row");
        }
    }

  private:
    std::string name_;
    std::string action_;
    HlmPlg::ISQLiteDB* db_ = nullptr;
    bool released_ = false;
};

bool RowHandler::onRow(HlmPlg::IStringList* row) {
    ++rows;
    if (action_ == "throw") {
        throw std::runtime_error("row");
    }
    if (action_ == "foreign") {
        throw 7;
    }
    if (action_ == "fault") {
        *reinterpret_cast<volatile int*>(gZero) = 1;
    }
    if (action_ == "reenter") {
        plugin_.reenter(row);
    }
    if (action_ == "close" || action_ == "release") {
        plugin_.closeOrRelease();
    }
    return rows < 2;  // the nested inserts would otherwise make the scan go on
}

}  // namespace

HLMPLG_PLUGIN_ENTRY {
    return new SQLitePlugin(facade, narrow(params));
}
