// SQLite databases (interface id 19): one database file per object, SQL run
// with each result row handed to a row handler.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/string_list.h"

namespace HlmPlg {

// Receives the rows of a query run by ISQLiteDB::exec or execFormat.
class HLMPLG_API ISQLiteRowHandler {
  public:
    virtual ~ISQLiteRowHandler() = default;
    // One row: its column values in column order, NULL as the empty text.
    // The list lives for this call only; copy what is needed. True goes on
    // with the next row, false stops the query (which is no error).
    virtual bool onRow(IStringList* row) = 0;
};

// One thread at a time uses an object. Failures return false and keep a code
// and a text: 1 with "unable to load sqlite3.dll" or "unable to find function
// '<name>'" when the library cannot be used, else the database's result code
// and message. An object is destroyed closed: releasing it closes its
// database and unloads the library.
class HLMPLG_API ISQLiteDB : public IInterface {
  public:
    // Loads the SQLite library and opens (or creates) the database at `path`.
    // An object that is open already is refused (false, code 21, "database
    // already open"); close it first.
    virtual bool open(const char16_t* path) = 0;
    // Closes the database and unloads the library; false when nothing was
    // loaded. Refused from inside a row handler of this object's own query
    // (false, code 21, the database stays open). An object released from
    // inside such a handler stays usable by that query and is destroyed when
    // its outermost exec returns.
    virtual bool close() = 0;
    // Runs the statements of `sql`; every result row goes to `handler` (may be
    // null). False for an empty text (no error) and for a failed statement.
    // A handler that throws or faults stops the query: exec gives false with
    // code 4 and the failure is reported to the service handlers.
    // A database that another connection or program holds locked fails at
    // once with code 5 ("database is locked"): exec never waits by itself. A
    // plugin that wants to wait sets the time once after open, through exec:
    // "PRAGMA busy_timeout = <milliseconds>;".
    virtual bool exec(const char16_t* sql, ISQLiteRowHandler* handler) = 0;
    // exec of the text built from `format` and the arguments: message style
    // (%1 inserts) when the format contains "%1", else printf style. %q
    // inserts a text with its single quotes doubled and %Q a quoted text (or
    // NULL for a null pointer); use them for every value from outside.
    virtual bool execFormat(ISQLiteRowHandler* handler, const char16_t* format, ...) = 0;
    // execFormat without a row handler.
    virtual bool execFormatNoRows(const char16_t* format, ...) = 0;
    // The row id of the last row inserted through this database; 0 when none.
    virtual int64_t lastInsertRowId() = 0;
    // "BEGIN;"
    virtual bool begin() = 0;
    // "COMMIT;" when `commit`, else "ROLLBACK;".
    virtual bool end(bool commit) = 0;
    // The last error's code; 0 when the last operation succeeded.
    virtual int32_t getErrorCode() = 0;
    // The last error's text, owned by the object until the next operation.
    virtual const char16_t* getErrorText() = 0;
};

static_assert(sizeof(ISQLiteDB) == sizeof(IInterface));
static_assert(sizeof(ISQLiteRowHandler) == sizeof(void*));

}  // namespace HlmPlg
