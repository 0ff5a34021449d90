// CHlmPlgPluginManager, the core's own interface provider (a CHlmPlg like a
// plugin that provides interfaces): makes a new service object for every
// request of one of the core's interface ids and destroys it on release. It
// also holds what those objects share: the configuration store, the command
// line and the service-handler list. The facade that plugins call is
// CPluginManager (core/plugin_manager.h); it routes requests here.
#pragma once

#include <memory>
#include <mutex>

#include "async/dispatcher.h"
#include "core/async_gate.h"
#include "core/host_link.h"
#include "core/service_handlers.h"
#include "core/sqlite_gate.h"
#include "hlmplg/plugin.h"
#include "services/command_line.h"
#include "services/config_store.h"
#include "services/config_write.h"
#include "services/debug.h"
#include "services/log_impl.h"
#include "services/process_impl.h"
#include "services/res_string2.h"

namespace holm::core {

class CHlmPlgPluginManager : public HlmPlg::CHlmPlg {
  public:
    // The ids the core provides, in the order they are registered.
    static constexpr int32_t kProvidedIds[] = {5,  6,  7,  1,  2,  9,  10, 8, 12, 13,
                                               14, 15, 16, 17, 18, 19, 3,  4, 11, 21};

    // `core` (may be null) is what service objects reach the host through;
    // while the manager lives, INI and text files report the links they
    // refuse to the host's log.
    CHlmPlgPluginManager(HlmPlg::IHlmPlg* facade, std::unique_ptr<services::CConfigStore> store,
                         HostLink* core);
    ~CHlmPlgPluginManager() override;

    HlmPlg::IInterface* createInterface(int32_t id) override;
    void releaseInterface(HlmPlg::IInterface* object) override;

    services::CConfigStore& configStore() { return *store_; }
    ServiceHandlerList& serviceHandlers() { return serviceHandlers_; }

    // Creates the asynchronous dispatcher (once, at initialisation); from
    // then on ids 13 (IThread), 17 (IAsync) and 19 (ISQLiteDB) are served. Their callbacks
    // and thread bodies report as `reporting` says.
    void createDispatcher(const BoundaryReporting& reporting);
    // Null before createDispatcher.
    async::CAsyncImplObjects* dispatcher() { return dispatcher_.get(); }
    void setAsyncReporting(const BoundaryReporting& reporting);

  private:
    HlmPlg::IInterface* make(int32_t id);
    HlmPlg::IInterface* makeConfig();
    HlmPlg::IInterface* makeSQLiteDB();
    // What debug objects reach the host and their owners' names through.
    services::DebugLinks debugLinks() const;
    services::ServiceHandlerLinks processLinks();
    HlmPlg::IInterface* makeLog();
    // The category names of report logs, read once from the message library.
    std::shared_ptr<const services::LogCategories> logCategories();
    // How service objects report failures to the host.
    services::ServiceLog hostLog() const;
    // What the resource-string services read of the product.
    services::ProductTexts productTexts() const;

    HostLink* core_;
    std::unique_ptr<services::CConfigStore> store_;
    services::CommandLineHolder commandLine_;
    ServiceHandlerList serviceHandlers_;
    std::unique_ptr<AsyncGate> asyncGate_;
    // Row handlers of database objects report as the asynchronous callbacks do.
    std::unique_ptr<SQLiteRowGate> sqliteGate_;
    // Destroyed before the gate its workers call through.
    std::unique_ptr<async::CAsyncImplObjects> dispatcher_;
    std::once_flag categoriesOnce_;
    std::shared_ptr<const services::LogCategories> categories_;
};

}  // namespace holm::core
