#include "core/core_provider.h"

#include <exception>
#include <new>

#include "async/async_impl.h"
#include "async/thread_impl.h"
#include "common/log_text.h"
#include "common/utf16.h"
#include "containers/factory.h"
#include "containers/link_refusals.h"
#include "core/plugin_boundary.h"
#include "core/service.h"
#include "hlmplg/interface_ids.h"
#include "platform/file_system.h"
#include "platform/named_event.h"
#include "services/config_impl.h"
#include "services/config_write.h"
#include "services/debug.h"
#include "services/factory.h"
#include "services/process_impl.h"
#include "utilities/di_container.h"
#include "utilities/master_text_reader.h"
#include "utilities/path.h"
#include "utilities/resource_text_reader.h"

namespace holm::core {

CHlmPlgPluginManager::CHlmPlgPluginManager(HlmPlg::IHlmPlg* facade,
                                           std::unique_ptr<services::CConfigStore> store,
                                           HostLink* core)
    : CHlmPlg(u"HlmPlg", facade), core_(core), store_(std::move(store)) {
    containers::setLinkRefusalLog([log = hostLog()](const std::u16string& line) { log(0, line); });
}

CHlmPlgPluginManager::~CHlmPlgPluginManager() {
    containers::setLinkRefusalLog({});
}

HlmPlg::IInterface* CHlmPlgPluginManager::createInterface(int32_t id) {
    try {
        return make(id);
    } catch (const std::exception&) {
        return nullptr;  // no memory, or no room in the service-handler list
    }
}

// Ids whose service is not part of the core yet give null, like ids the core
// does not provide at all.
HlmPlg::IInterface* CHlmPlgPluginManager::make(int32_t id) {
    switch (id) {
        case HlmPlg::IID_CONFIG:
            return makeConfig();
        case HlmPlg::IID_CONFIGWRITE:
            return new services::CConfigWriteImpl(*store_, services::runUpdaterProcess, hostLog());
        case HlmPlg::IID_CMDLINE:
            return new services::CCmdLineImplEx(commandLine_);
        case HlmPlg::IID_SERVICE:
            return new CHlmPlgService(core_, serviceHandlers_, commandLine_,
                                      store_->productDirectory());
        case HlmPlg::IID_KEYVALUELIST:
        case HlmPlg::IID_STRINGLIST:
        case HlmPlg::IID_DATALIST:
        case HlmPlg::IID_SERIALIZABLELIST:
        case HlmPlg::IID_TXTFILE:
        case HlmPlg::IID_INIFILE:
            return containers::createContainer(id);
        case HlmPlg::IID_SQLITEDB:
            return makeSQLiteDB();
        case HlmPlg::IID_THREAD:
            return asyncGate_ ? new async::CThreadImpl(*asyncGate_) : nullptr;
        case HlmPlg::IID_ASYNC:
            return dispatcher_ ? new async::CAsyncImpl(*dispatcher_, *asyncGate_) : nullptr;
        case HlmPlg::IID_LOG:
            return makeLog();
        case HlmPlg::IID_RESSTRING:
        case HlmPlg::IID_RESSTRING2:
            return services::createTextService(id, productTexts());
        case HlmPlg::IID_DEBUG:
            return new services::CHlmPlgDebug(debugLinks());
        case HlmPlg::IID_PROCESS:
            return new services::CProcessImpl(processLinks());
        case HlmPlg::IID_SYNCREADWRITE:
        case HlmPlg::IID_WOW64FSREDIR:
            return services::createService(id, common::utf8ToUtf16(platform::systemDirectory()));
        default:
            return nullptr;
    }
}

void CHlmPlgPluginManager::createDispatcher(const BoundaryReporting& reporting) {
    if (dispatcher_) {
        return;
    }
    asyncGate_ = std::make_unique<AsyncGate>(reporting);
    sqliteGate_ = std::make_unique<SQLiteRowGate>(*asyncGate_);
    dispatcher_ = std::make_unique<async::CAsyncImplObjects>(*asyncGate_, nullptr,
                                                             platform::runtimeDirectory());
}

void CHlmPlgPluginManager::setAsyncReporting(const BoundaryReporting& reporting) {
    if (asyncGate_) {
        asyncGate_->setReporting(reporting);
    }
}

// The object's result list is a string list of the containers.
HlmPlg::IInterface* CHlmPlgPluginManager::makeConfig() {
    HlmPlg::IInterface* list = containers::createContainer(HlmPlg::IID_STRINGLIST);
    auto* stringList = dynamic_cast<HlmPlg::IStringList*>(list);
    if (stringList == nullptr) {
        containers::destroyContainer(list);
        return nullptr;
    }
    services::CConfigImplEx::ResultList resultList(
        stringList, [](HlmPlg::IStringList* made) { containers::destroyContainer(made); });
    return new services::CConfigImplEx(*store_, std::move(resultList));
}

// Each open of the object loads the library the master text names.
HlmPlg::IInterface* CHlmPlgPluginManager::makeSQLiteDB() {
    if (!sqliteGate_) {
        return nullptr;
    }
    auto loader = [texts = productTexts()] {
        const std::u16string name =
            texts.masterTexts ? texts.masterTexts->getText(u"#DEF_FN_FW_SQLITE") : std::u16string();
        return loadSQLiteLibrary(texts.productDirectory, name);
    };
    return new containers::CSQLiteDB(std::move(loader), *sqliteGate_);
}

// The host is looked up at every line (a shared core's host may go); the
// plugin's name comes from its own code, so it is asked through the boundary.
services::DebugLinks CHlmPlgPluginManager::debugLinks() const {
    HostLink* core = core_;
    auto host = [core]() -> HlmPlg::IHlmCoreHandler* {
        return core != nullptr ? core->hostHandler() : nullptr;
    };
    auto ownerName = [host](HlmPlg::CHlmPlg* owner) {
        const BoundaryReporting reporting{nullptr, host()};
        return callPlugin(reporting, u"CHlmPlg::getName", calleeOf(owner),
                          [owner] {
                              const char16_t* name = owner->getName();
                              return std::u16string(name != nullptr ? name : u"");
                          })
            .value_or(std::u16string());
    };
    return {host, ownerName};
}

// A process object is a service handler of the core's list for its lifetime,
// so that a stopping service ends its waits.
services::ServiceHandlerLinks CHlmPlgPluginManager::processLinks() {
    ServiceHandlerList* handlers = &serviceHandlers_;
    return {[handlers](HlmPlg::IServiceHandler* handler) { handlers->add(handler); },
            [handlers](HlmPlg::IServiceHandler* handler) { (void)handlers->removeAll(handler); }};
}

// Each log schedules its rollovers on an asynchronous-service object of its
// own, bound to the core's dispatcher.
HlmPlg::IInterface* CHlmPlgPluginManager::makeLog() {
    services::CHlmPlgLogImpl::AsyncHolder async(nullptr, [](HlmPlg::IAsync* made) { delete made; });
    if (dispatcher_) {
        async.reset(new async::CAsyncImpl(*dispatcher_, *asyncGate_));
    }
    return new services::CHlmPlgLogImpl(logCategories(), std::move(async));
}

// String 228 of the message library; the default names when the library or
// the string is missing or refused.
std::shared_ptr<const services::LogCategories> CHlmPlgPluginManager::logCategories() {
    std::call_once(categoriesOnce_, [this] {
        std::u16string names;
        try {
            const Tandro::Utilities::ResourceTextReader messages(
                Tandro::Utilities::Path::Combine(store_->productDirectory(), u"holmmsg.dll"),
                security::FileRole::Product);
            names = messages.LoadStringW(services::LogCategories::kMessageId);
        } catch (const std::exception&) {
        }
        categories_ = std::make_shared<const services::LogCategories>(names);
    });
    return categories_;
}

// Service failures go to the host's log, from whichever thread they happen on.
services::ServiceLog CHlmPlgPluginManager::hostLog() const {
    return [core = core_](uint32_t level, const std::u16string& line) {
        HlmPlg::IHlmCoreHandler* host = core != nullptr ? core->hostHandler() : nullptr;
        if (host != nullptr) {
            host->log(level, u"Core", common::logLineText(line).c_str());
        }
    };
}

services::ProductTexts CHlmPlgPluginManager::productTexts() const {
    std::shared_ptr<const Tandro::Utilities::IMasterTextReader> masterTexts;
    try {
        masterTexts =
            Tandro::Utilities::DiContainer::Instance().Get<Tandro::Utilities::IMasterTextReader>();
    } catch (const std::exception&) {
        // Unreadable master texts: symbolic names resolve to nothing.
    }
    services::ServiceLog log = hostLog();
    return {store_->productDirectory(), store_->productRegistryKey(), std::move(masterTexts),
            nullptr, [log](const std::u16string& line) { log(0, line); }};
}

void CHlmPlgPluginManager::releaseInterface(HlmPlg::IInterface* object) {
    // A database released from inside one of its own row handlers goes when
    // its query returns.
    if (auto* database = dynamic_cast<containers::CSQLiteDB*>(object)) {
        database->destroyWhenIdle();
        return;
    }
    delete object;
}

}  // namespace holm::core
