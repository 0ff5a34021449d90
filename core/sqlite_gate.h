// The database objects' access to the core: the row-handler gate built on the
// plugin boundary, and the loading of the SQLite library.
#pragma once

#include <string_view>

#include "containers/sqlite_db.h"
#include "core/async_gate.h"
#include "security/trust_store.h"

namespace holm::core {

// Runs row handlers under the fault guard (as the exception policy says) and
// always catches their exceptions: the library's C frames lie between the
// handler and the caller of exec, and nothing may unwind or jump through
// them. The failure is reported under "ISQLiteRowHandler::onRow" with the
// reporting of `reporting` once exec has returned.
class SQLiteRowGate final : public containers::RowHandlerGate {
  public:
    explicit SQLiteRowGate(AsyncGate& reporting) : reporting_(reporting) {}

    bool run(const HlmPlg::ISQLiteRowHandler* handler, void (*body)(void*), void* context,
             containers::RowFailure& failure) override;
    void report(const HlmPlg::ISQLiteRowHandler* handler,
                const containers::RowFailure& failure) override;

  private:
    AsyncGate& reporting_;
};

// The SQLite library that the master text "#DEF_FN_FW_SQLITE" names
// (`mappedName`; empty when the text is missing):
//   - a file of that name in the product directory is a product file: it is
//     verified like every product library and loaded from the descriptor
//     that was checked;
//   - with no such file, on Linux, a bare file name is taken as the soname
//     of the system's library, which the dynamic loader finds by its ordinary
//     search of the system library directories. Windows loads the library
//     from the product directory only (platform::SharedLibrary::
//     openSystemLibrary): never by a search, which would take a file planted
//     in the current directory or on PATH.
// An invalid library when neither gives one.
platform::SharedLibrary loadSQLiteLibrary(std::u16string_view productDirectory,
                                          std::u16string_view mappedName,
                                          const security::TrustStore* trust = nullptr);

}  // namespace holm::core
