#include "containers/sqlite_db.h"

#include <new>
#include <utility>

#include "common/format.h"
#include "common/utf16.h"
#include "containers/string_list.h"

namespace holm::containers {
namespace {

// Result codes of the library that the object gives meaning to.
constexpr int kSQLiteOk = 0;
constexpr int kSQLiteError = 1;
constexpr int kSQLiteAbort = 4;
constexpr int kSQLiteNoMem = 7;
constexpr int kSQLiteMisuse = 21;

constexpr char16_t kLoadFailed[] = u"unable to load sqlite3.dll";
constexpr char16_t kUnknownError[] = u"unknown sqlite error";

// The length of a null-terminated UTF-16 text the library hands out.
std::u16string_view wideView(const void* text) {
    return text != nullptr ? std::u16string_view(static_cast<const char16_t*>(text))
                           : std::u16string_view();
}

}  // namespace

// What one exec shares with its row callback: the handler, the list the rows
// are handed in (one per exec, so a handler may run a nested query) and what
// went wrong in a handler.
struct CSQLiteDB::ExecCall {
    ExecCall(RowHandlerGate& rowGate, HlmPlg::ISQLiteRowHandler* rowHandler)
        : gate(rowGate), handler(rowHandler) {}

    RowHandlerGate& gate;
    HlmPlg::ISQLiteRowHandler* handler;
    CStringListImpl row;
    RowFailure failure;
    bool handlerFailed = false;
    bool outOfMemory = false;
};

CSQLiteDB::CSQLiteDB(SQLiteLibraryLoader loader, RowHandlerGate& gate)
    : loader_(std::move(loader)), gate_(gate) {}

CSQLiteDB::~CSQLiteDB() {
    close();
}

bool CSQLiteDB::open(const char16_t* path) {
    if (library_.valid()) {
        // A second open would replace the connection and lose the first.
        setError(kSQLiteMisuse, u"database already open");
        return false;
    }
    clearError();
    if (path == nullptr) {
        setError(kSQLiteMisuse, u"no database path");
        return false;
    }
    if (!loadLibrary()) {
        return false;
    }
    SQLiteConnection* db = nullptr;
    const int result = api_.open16(path, &db);
    db_ = db;
    if (result == kSQLiteOk) {
        return true;
    }
    if (db_ != nullptr) {
        takeErrorFromDatabase();
    } else {
        setError(result, kUnknownError);
    }
    close();
    return false;
}

bool CSQLiteDB::loadLibrary() {
    platform::SharedLibrary library = loader_ ? loader_() : platform::SharedLibrary();
    if (!library) {
        setError(kSQLiteError, kLoadFailed);
        return false;
    }
    Api api;
    bool complete = true;
    auto bind = [&](auto& slot, const char* name, bool required) {
        void* address = library.symbol(name);
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
        if (address == nullptr && required && complete) {
            complete = false;
            setError(kSQLiteError, common::format(u"unable to find function '%hs'", name));
        }
    };
    bind(api.open16, "sqlite3_open16", true);
    bind(api.close, "sqlite3_close", true);
    bind(api.errmsg16, "sqlite3_errmsg16", true);
    bind(api.errcode, "sqlite3_errcode", true);
    bind(api.exec, "sqlite3_exec", true);
    bind(api.free, "sqlite3_free", true);
    bind(api.lastInsertRowid, "sqlite3_last_insert_rowid", true);
    bind(api.initialize, "sqlite3_initialize", false);
    if (!complete) {
        return false;  // the library is unloaded as it goes out of scope
    }
    if (api.initialize != nullptr) {
        (void)api.initialize();  // a failure shows again in the open that follows
    }
    library_ = std::move(library);
    api_ = api;
    return true;
}

void CSQLiteDB::destroyWhenIdle() {
    if (running_ > 0) {
        destroyPending_ = true;
        return;
    }
    delete this;
}

bool CSQLiteDB::close() {
    if (running_ > 0) {
        // Closing would finalise the connection and unload the library while
        // its exec is still on the stack.
        setError(kSQLiteMisuse, u"database is running a query: close refused");
        return false;
    }
    if (db_ != nullptr) {
        api_.close(db_);
        db_ = nullptr;
    }
    if (!library_.valid()) {
        return false;
    }
    api_ = Api{};
    library_.close();
    return true;
}

bool CSQLiteDB::exec(const char16_t* sql, HlmPlg::ISQLiteRowHandler* handler) {
    // Counts this query; the outermost one destroys an object released from
    // a row handler once the library has returned, whichever way it leaves.
    struct Running {
        CSQLiteDB* db;
        explicit Running(CSQLiteDB* self) : db(self) { ++db->running_; }
        ~Running() {
            if (--db->running_ == 0 && db->destroyPending_) {
                delete db;
            }
        }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;
    } running(this);
    clearError();
    if (sql == nullptr || *sql == u'\0') {
        return false;
    }
    try {
        return runQuery(common::utf16ToUtf8(sql), handler);
    } catch (const std::bad_alloc&) {
        setError(kSQLiteNoMem, u"out of memory");
        return false;
    }
}

bool CSQLiteDB::runQuery(const std::string& sql, HlmPlg::ISQLiteRowHandler* handler) {
    if (db_ == nullptr) {
        setError(kSQLiteMisuse, u"no database open");
        return false;
    }
    ExecCall call(gate_, handler);
    const int result = api_.exec(db_, sql.c_str(), handler != nullptr ? &CSQLiteDB::onRow : nullptr,
                                 handler != nullptr ? &call : nullptr, nullptr);
    if (call.outOfMemory) {
        setError(kSQLiteNoMem, u"out of memory");
        return false;
    }
    if (call.handlerFailed) {
        // The library took the failure as a stop; for the caller it is an
        // error, reported now that no library frame is left on the stack.
        takeErrorFromDatabase();
        if (errorCode_ == kSQLiteOk) {
            setError(kSQLiteAbort, u"query aborted");
        }
        gate_.report(handler, call.failure);
        return false;
    }
    if (result == kSQLiteOk || result == kSQLiteAbort) {
        clearError();  // of a refused close or a nested query in a row handler
        return true;
    }
    takeErrorFromDatabase();
    return false;
}

// Called by the library for every row, inside its exec: nothing may unwind
// or jump out of here.
int CSQLiteDB::onRow(void* context, int columns, char** values, char** /*names*/) noexcept {
    auto& call = *static_cast<ExecCall*>(context);
    try {
        call.row.assignUtf8(values, columns);
    } catch (...) {
        call.outOfMemory = true;  // bad_alloc, or a list at its maximum size
        return 1;
    }
    struct Body {
        HlmPlg::ISQLiteRowHandler* handler;
        HlmPlg::IStringList* row;
        bool goOn;
    } body{call.handler, &call.row, false};
    const bool returned = call.gate.run(
        call.handler,
        [](void* frame) {
            auto& inner = *static_cast<Body*>(frame);
            inner.goOn = inner.handler->onRow(inner.row);
        },
        &body, call.failure);
    if (!returned) {
        call.handlerFailed = true;
        return 1;
    }
    return body.goOn ? 0 : 1;
}

bool CSQLiteDB::execFormat(HlmPlg::ISQLiteRowHandler* handler, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool result = execFormatted(handler, format, args);
    va_end(args);
    return result;
}

bool CSQLiteDB::execFormatNoRows(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool result = execFormatted(nullptr, format, args);
    va_end(args);
    return result;
}

bool CSQLiteDB::execFormatted(HlmPlg::ISQLiteRowHandler* handler, const char16_t* format,
                              va_list args) {
    std::u16string sql;
    try {
        sql = common::vformatSql(format, args);
    } catch (const std::bad_alloc&) {
        clearError();
        setError(kSQLiteNoMem, u"out of memory");
        return false;
    }
    return exec(sql.c_str(), handler);
}

int64_t CSQLiteDB::lastInsertRowId() {
    return db_ != nullptr ? api_.lastInsertRowid(db_) : 0;
}

bool CSQLiteDB::begin() {
    return exec(u"BEGIN;", nullptr);
}

bool CSQLiteDB::end(bool commit) {
    return exec(commit ? u"COMMIT;" : u"ROLLBACK;", nullptr);
}

int32_t CSQLiteDB::getErrorCode() {
    return errorCode_;
}

const char16_t* CSQLiteDB::getErrorText() {
    return errorText_.c_str();
}

void CSQLiteDB::clearError() {
    errorCode_ = 0;
    errorText_.clear();
}

void CSQLiteDB::setError(int32_t code, std::u16string text) {
    errorCode_ = code;
    errorText_ = std::move(text);
}

void CSQLiteDB::takeErrorFromDatabase() {
    const int code = api_.errcode(db_);
    if (code == kSQLiteOk) {
        clearError();
        return;
    }
    const void* message = api_.errmsg16(db_);
    setError(code, message != nullptr ? std::u16string(wideView(message)) : kUnknownError);
}

}  // namespace holm::containers
