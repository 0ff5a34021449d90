# A full table scan through ISQLiteDB::exec with a row handler (the core's row
# gate on the plugin boundary), against sqlite3_exec of the same library
# called directly with a C callback.
find_package(SQLite3 REQUIRED)
holm_add_benchmark(sqlite_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/sqlite_bench.cpp
                   DEPS holm_core SQLite::SQLite3)
