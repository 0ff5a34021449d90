// The database object (interface id 19) over an SQLite library loaded at run
// time: each open loads it and binds its entry points by name, close unloads
// it again. Row handlers are plugin code and are called through a gate the
// core supplies (its plugin boundary), one row at a time, so that a throw or
// a fault in a handler never unwinds or jumps through the library's frames.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "hlmplg/fault_record.h"
#include "hlmplg/sqlite_db.h"
#include "platform/shared_library.h"

namespace holm::containers {

// What a row handler raised: a processor fault (`faulted`, with its record)
// or an exception.
struct RowFailure {
    bool faulted = false;
    HlmPlg::FaultRecord fault{};
    std::exception_ptr exception;
    // What the gate decided at a query's first row and keeps for its rest
    // (0: not yet asked).
    int gatePolicy = 0;
};

// How the database object calls a plugin's row handler.
class RowHandlerGate {
  public:
    // Runs body(context), which calls into `handler`. True when it returned;
    // false when it threw or faulted, which is then kept in `failure`. Neither
    // an exception nor a fault leaves this call, and nothing is reported yet:
    // the library's frames are still on the stack.
    virtual bool run(const HlmPlg::ISQLiteRowHandler* handler, void (*body)(void*), void* context,
                     RowFailure& failure) = 0;
    // Reports a failure of `handler` once the query has returned. May rethrow
    // the exception when the service's policy declines catching.
    virtual void report(const HlmPlg::ISQLiteRowHandler* handler, const RowFailure& failure) = 0;

  protected:
    ~RowHandlerGate() = default;
};

// Loads the SQLite library; an invalid library when it cannot be loaded.
using SQLiteLibraryLoader = std::function<platform::SharedLibrary()>;

struct SQLiteConnection;  // the library's connection object

class CSQLiteDB final : public HlmPlg::ISQLiteDB {
  public:
    CSQLiteDB(SQLiteLibraryLoader loader, RowHandlerGate& gate);
    // Closes the database and unloads the library.
    ~CSQLiteDB() override;
    CSQLiteDB(const CSQLiteDB&) = delete;
    CSQLiteDB& operator=(const CSQLiteDB&) = delete;

    // Destroys the object, or, while one of its queries runs (a row handler
    // released it), marks it so that the outermost exec destroys it as it
    // returns: the library is never closed or unloaded under its own exec.
    void destroyWhenIdle();

    bool open(const char16_t* path) override;
    // Refused (false, code 21) while a query of this object runs, that is
    // from inside a row handler; the database stays open.
    bool close() override;
    bool exec(const char16_t* sql, HlmPlg::ISQLiteRowHandler* handler) override;
    bool execFormat(HlmPlg::ISQLiteRowHandler* handler, const char16_t* format, ...) override;
    bool execFormatNoRows(const char16_t* format, ...) override;
    int64_t lastInsertRowId() override;
    bool begin() override;
    bool end(bool commit) override;
    int32_t getErrorCode() override;
    const char16_t* getErrorText() override;

    // The entry points bound by name, in the order they are looked up.
    struct Api {
        int (*open16)(const void* path, SQLiteConnection** db) = nullptr;
        int (*close)(SQLiteConnection* db) = nullptr;
        const void* (*errmsg16)(SQLiteConnection* db) = nullptr;
        int (*errcode)(SQLiteConnection* db) = nullptr;
        int (*exec)(SQLiteConnection* db, const char* sql,
                    int (*callback)(void*, int, char**, char**), void* context,
                    char** message) = nullptr;
        void (*free)(void* block) = nullptr;
        int64_t (*lastInsertRowid)(SQLiteConnection* db) = nullptr;
        int (*initialize)() = nullptr;  // optional
    };

  private:
    struct ExecCall;

    bool loadLibrary();
    bool execFormatted(HlmPlg::ISQLiteRowHandler* handler, const char16_t* format, va_list args);
    bool runQuery(const std::string& sql, HlmPlg::ISQLiteRowHandler* handler);
    static int onRow(void* context, int columns, char** values, char** names) noexcept;
    void clearError();
    void setError(int32_t code, std::u16string text);
    void takeErrorFromDatabase();

    SQLiteLibraryLoader loader_;
    RowHandlerGate& gate_;
    platform::SharedLibrary library_;
    SQLiteConnection* db_ = nullptr;
    int running_ = 0;  // queries of this object on the stack (nested ones count)
    bool destroyPending_ = false;
    int32_t errorCode_ = 0;
    std::u16string errorText_;
    Api api_;
};

}  // namespace holm::containers
