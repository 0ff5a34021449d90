#include "core/holm_core.h"

#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "async/dispatcher.h"
#include "common/format.h"
#include "common/log_text.h"
#include "common/path_parts.h"
#include "common/utf16.h"
#include "core/handler_broadcast.h"
#include "platform/fault_guard.h"
#include "platform/file_lock.h"
#include "platform/file_system.h"
#include "platform/result.h"
#include "platform/shared_library.h"
#include "security/verified_data.h"
#include "security/verified_file.h"
#include "services/command_line.h"
#include "utilities/di_container.h"
#include "utilities/master_text_reader.h"
#include "utilities/path.h"
#include "utilities/product_services.h"
#include "utilities/run_performance.h"

namespace holm::core {

namespace util = Tandro::Utilities;
using HlmPlg::IServiceHandler;

namespace {

constexpr uint32_t kStatusWaitHintMs = 5000;

std::string ownLibraryPath() {
    return platform::modulePathContaining(reinterpret_cast<const void*>(&ownLibraryPath));
}

std::u16string directoryOf(const std::string& path) {
    return common::utf8ToUtf16(common::directoryWithSlashOf(path));
}

// The product services are process-wide: the first core sets them up for the
// product directory it lives in.
void initializeProductServices(const std::u16string& productDirectory) {
    static std::once_flag once;
    std::call_once(once, [&] { util::InitializeProductServices(productDirectory); });
}

// The master texts; null, with `problem` saying why, when the text library
// cannot be read (then no symbolic name resolves).
// The product's master texts, or why they cannot be read.
using MasterTexts = std::shared_ptr<const util::IMasterTextReader>;
platform::Result<MasterTexts, std::string> masterTexts() {
    try {
        return MasterTexts(util::DiContainer::Instance().Get<util::IMasterTextReader>());
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
}

std::u16string resolveListPath(const std::u16string& productDirectory, const std::u16string& file) {
    return util::Path::Combine(productDirectory, file);
}

}  // namespace

CHolmCore::CHolmCore(HlmPlg::IHlmCoreHandler* handler)
    : lifecycle_(manager_),
      list_([this](const std::u16string& file) { return resolveListPath(productDirectory_, file); },
            [this](const std::u16string& name) {
                return provider_ ? provider_->configStore().resolveFileName(name)
                                 : std::u16string();
            }),
      ownPlugin_(&manager_),
      handler_(handler) {}

// Plugins still listed (stop was never called, or an exception ended run)
// are stopped and unloaded while the services they may be registered with
// still exist.
CHolmCore::~CHolmCore() {
    if (lifecycle_.count() != 0) {
        try {
            stop();
        } catch (...) {  // NOLINT(bugprone-empty-catch): the policy declined; nothing may leave
        }
    }
    unloadSecondGeneration();
    lifecycle_.destroyAll();
    secondGeneration_.reset();
    unregisterProviders();
}

uint32_t CHolmCore::init(const char16_t* pluginList) {
    try {
        const uint32_t code = initialize(pluginList ? pluginList : u"");
        if (code != 0 && handler_ != nullptr) {
            handler_->setServiceStatus(HlmPlg::SERVICE_STATE_STOPPED, code, kStatusWaitHintMs);
        }
        return code;
    } catch (std::exception& exception) {
        handleException(exception, u"onStart");
        return finalReport(1);
    }
}

uint32_t CHolmCore::initialize(const std::u16string& pluginList) {
    util::GenericRunPerformance timing(u"CHolmCore::init");
    const std::string ownPath = ownLibraryPath();
    productDirectory_ = directoryOf(ownPath);
    initializeProductServices(productDirectory_);
    auto settings = util::DiContainer::Instance().Get<util::IProductSettings>();
    productDirectory_ = settings->getProductDirectory();

    if (!selftest(common::utf8ToUtf16(ownPath), security::UnsignedFiles::Refuse,
                  security::LoadedFiles::Verify)) {
        return kOwnModuleFailed;
    }
    if (!selftest(u"CommonTextRc.dll", security::UnsignedFiles::Refuse,
                  security::LoadedFiles::Accept)) {
        return kTextLibraryFailed;
    }
    // The store is needed to resolve symbolic names in the list's settings.
    auto texts = masterTexts();
    if (!texts) {
        warnMasterTextsUnreadable(texts.error());
    }
    provider_ = std::make_unique<CHlmPlgPluginManager>(
        &manager_,
        std::make_unique<services::CConfigStore>(*settings, std::move(texts).valueOr(nullptr)),
        this);
    secondGeneration_ = obtainSecondGeneration();
    if (const uint32_t code = loadPluginList(pluginList); code != 0) {
        if (code == kListNotLoaded) {
            log(list_.lastError());
        }
        return code;
    }
    listName_ = list_.getListAttribute(u"name", u"");
    if (!listName_.empty()) {
        removeStaleTempFolders();
    }
    registerProviders();
    ownService_ =
        dynamic_cast<HlmPlg::IService*>(manager_.createInterface(&ownPlugin_, HlmPlg::IID_SERVICE));
    provider_->createDispatcher(reporting());
    updateLifecycleContext();
    return 0;
}

// A text library that passed its signature check but cannot be read (a
// corrupt entry, a bad table) would otherwise only show as "#" names that
// resolve to nothing. The service locator keeps only that creation failed,
// so the file is read once more here for the reason.
void CHolmCore::warnMasterTextsUnreadable(const std::string& problem) {
    const std::u16string path =
        util::Path::Combine(productDirectory_, util::MasterTextReader::kLibraryName);
    std::string reason = problem;
    try {
        util::MasterTextReader::openInDirectory(productDirectory_);
    } catch (const std::exception& error) {
        reason = error.what();
    }
    if (const std::string prefix = common::utf16ToUtf8(path) + ": "; reason.starts_with(prefix)) {
        reason.erase(0, prefix.size());
    }
    log(common::format(
        u"Warning: the master texts in '%s' cannot be read (%s); symbolic file "
        u"names (#...) resolve to nothing.",
        common::logInsert(path).c_str(), common::logInsert(common::utf8ToUtf16(reason)).c_str()));
}

void CHolmCore::setHandler(HlmPlg::IHlmCoreHandler* handler) {
    handler_ = handler;
    updateLifecycleContext();
}

void CHolmCore::updateLifecycleContext() {
    LifecycleContext context;
    context.host = handler_;
    context.service = ownService_;
    if (provider_) {
        context.serviceHandlers = &provider_->serviceHandlers();
        context.configStore = &provider_->configStore();
        context.owner = &ownPlugin_;
        context.dispatcher = provider_->dispatcher();
        provider_->setAsyncReporting(reporting());
    }
    context.productDirectory = common::utf16ToUtf8(productDirectory_);
    context.board = &statusBoard_;
    lifecycle_.setContext(std::move(context));
    manager_.setReporting(reporting(), provider_.get());
}

// The core's own library and its master texts are product files: only the
// product key may sign them.
bool CHolmCore::selftest(const std::u16string& path, security::UnsignedFiles unsignedFiles,
                         security::LoadedFiles loadedFiles) {
    security::SelftestContext context;
    context.productDirectory = common::utf16ToUtf8(productDirectory_);
    const auto verified =
        security::selftest(common::utf16ToUtf8(path), unsignedFiles, loadedFiles, context);
    if (verified.passed()) {
        return true;
    }
    logSelftestFailure(path, verified.message());
    return false;
}

void CHolmCore::logSelftestFailure(const std::u16string& path, const std::string& reason) {
    log(common::format(u"  Selftest failed for '%s'.", common::logInsert(path).c_str()));
    log(common::format(u"  %s.", common::logInsert(common::utf8ToUtf16(reason)).c_str()));
}

// The list file is verified once and parsed from the content that was
// verified, so the document read is the one whose signature (or permissions)
// passed. Like the product's other files it may be signed by the product key
// only; an administrator's unsigned list passes the relaxed check.
uint32_t CHolmCore::loadPluginList(const std::u16string& pluginList) {
    if (isInlinePluginList(pluginList)) {
        return list_.loadList(pluginList) ? 0 : kListNotLoaded;
    }
    security::SelftestContext context;
    context.productDirectory = common::utf16ToUtf8(productDirectory_);
    const auto verified = security::selftestData(common::utf16ToUtf8(pluginList),
                                                 security::UnsignedFiles::AcceptIfSafe,
                                                 security::LoadedFiles::Accept, context);
    if (!verified.passed()) {
        logSelftestFailure(pluginList, verified.message());
        return kListFileFailed;
    }
    return list_.loadXml(verified.text(), pluginList) ? 0 : kListNotLoaded;
}

void CHolmCore::registerProviders() {
    for (int32_t id : CHlmPlgPluginManager::kProvidedIds) {
        manager_.registerProvider(id, provider_.get());
    }
}

// Providers go in the reverse order of their registration, after the
// manager's own service object has been handed back.
void CHolmCore::unregisterProviders() {
    if (ownService_ != nullptr) {
        HlmPlg::IService* service = std::exchange(ownService_, nullptr);
        updateLifecycleContext();  // nothing reports to it any more
        manager_.releaseInterface(&ownPlugin_, HlmPlg::IID_SERVICE, service);
    }
    if (!provider_) {
        return;
    }
    const auto& ids = CHlmPlgPluginManager::kProvidedIds;
    for (auto id = std::rbegin(ids); id != std::rend(ids); ++id) {
        if (manager_.providerOf(*id) == provider_.get()) {
            manager_.unregisterProvider(*id, provider_.get());
        }
    }
}

// Removes the temporary folders earlier instances of this host left behind:
// "<PREFIX>_" plus exactly eight characters in the temporary base, the prefix
// taken literally and case-sensitively (a program name with '*' or '?' must
// not reach other programs' folders). Only folders owned by us, never through
// a link, never across a mount, and never the folder of a live instance (its
// instance lock is held). A folder is reported as deleted only once it is
// gone; one that could not be removed completely is reported with what is
// left.
void CHolmCore::removeStaleTempFolders() {
    constexpr size_t kStampCharacters = 8;
    services::CConfigStore& store = provider_->configStore();
    std::u16string prefix = store.tempFolderPattern();
    // Cut after the pattern's own '_' (the last one): a host program whose
    // name has an underscore must not match another program's folders.
    if (auto underscore = prefix.rfind(u'_'); underscore != std::u16string::npos) {
        prefix.resize(underscore + 1);
    }
    const std::u16string base = store.tempBase();
    // A base folder that cannot be listed holds no stale folders to remove.
    const auto entries = platform::enumerateWithPrefix(
        common::utf16ToUtf8(base), common::utf16ToUtf8(prefix), kStampCharacters);
    for (const auto& entry : entries.valueOr({})) {
        if (entry.type != platform::FileType::kDirectory) {
            continue;
        }
        const std::u16string folder = base + common::utf8ToUtf16(entry.name) + u"/";
        const std::string folderPath = common::utf16ToUtf8(folder);
        if (platform::isLockHeld(folderPath +
                                 common::utf16ToUtf8(services::CConfigStore::kInstanceLockName))) {
            continue;
        }
        std::vector<std::string> left;
        const uint32_t error = platform::removeTreeSafely(folderPath, &left).windowsError();
        if (error == 0) {
            log(common::format(u"DELETE TEMP FOLDER: <%s>", common::logInsert(folder).c_str()));
            continue;
        }
        const std::u16string first = left.empty() ? u"" : common::utf8ToUtf16(left.front());
        log(common::format(u"TEMP FOLDER NOT REMOVED: <%s> (error %u; %u part(s) left alone%s%s)",
                           common::logInsert(folder).c_str(), error,
                           static_cast<uint32_t>(left.size()), left.empty() ? u"" : u", first: ",
                           common::logInsert(first).c_str()));
    }
}

HlmPlg::IInterface* CHolmCore::createInterface(int32_t id) {
    if (id == common::hostctl::kHostControlId) {
        try {
            auto* control = new CHostControl(*this);
            control->m_id = id;
            return control;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return manager_.createInterface(&ownPlugin_, id);
}

void CHolmCore::releaseInterface(int32_t id, HlmPlg::IInterface* object) {
    if (id == common::hostctl::kHostControlId) {
        delete dynamic_cast<CHostControl*>(object);
        return;
    }
    manager_.releaseInterface(&ownPlugin_, id, object);
}

uint32_t CHolmCore::controlReload() {
    common::RecursiveLock hold(controlLock_);
    if (!controlOpen_) {
        return 1;
    }
    reloadConfig();
    return 0;
}

void CHolmCore::setEventSink(common::hostctl::IHostEvents* sink) {
    if (sink == nullptr) {
        statusBoard_.setListener({});
        return;
    }
    statusBoard_.setListener(
        [sink](const PluginRecord& record, common::hostctl::PluginEvent event, uint32_t code) {
            common::hostctl::PluginEventInfo info;
            info.event = static_cast<uint32_t>(event);
            info.name = record.name.c_str();
            info.file = record.file.c_str();
            info.generation = record.generation;
            info.code = code;
            sink->pluginEvent(info);
        });
}

uint32_t CHolmCore::controlTest(const std::u16string& target, const std::u16string& argument,
                                const std::function<void(const std::u16string&, bool)>& report) {
    common::RecursiveLock hold(controlLock_);
    if (!controlOpen_) {
        return 0;
    }
    return lifecycle_.testPlugins(target, argument, report);
}

bool CHolmCore::handleCmdLine() {
    try {
        return lifecycle_.handleCmdLine();
    } catch (std::exception& exception) {
        handleException(exception, u"handleCmdLine");
        return false;
    }
}

uint32_t CHolmCore::run(bool quick) {
    uint32_t code = 0;
    try {
        return runPhases(quick, code);
    } catch (std::exception& exception) {
        handleException(exception, u"onStart");
        return finalReport(code != 0 ? code : 1);
    }
}

uint32_t CHolmCore::runPhases(bool quick, uint32_t& code) {
    util::GenericRunPerformance timing(u"CHolmCore::run");
    if (async::CAsyncImplObjects* dispatcher = provider_->dispatcher()) {
        // The Stop phase of an earlier run of a shared core left the
        // workers stopped for good: this run starts them afresh.
        dispatcher->resumeAll();
    }
    CPluginLifecycle& plugins = lifecycle_;
    plugins.loadList(list_.readEntries("plugins"));
    initializeSecondGeneration();
    if (!list_.isInline()) {
        list_.unloadLibrary();
    }
    plugins.removeNotInstalled();
    if (handler_ != nullptr && !handler_->canStart()) {
        handler_->requestStop();
        return 0;
    }
    if (const uint32_t failed = plugins.callAll(Phase::Load, false); failed != 0) {
        // Plugins loaded before the failing one are stopped and unloaded
        // (stop empties the list, so the error exit's phases find nothing
        // left to do unless stop itself failed part-way).
        code = kLoadFailedBase + failed;
        unloadSecondGeneration();
        stop();
        plugins.callAll(Phase::Stop, true);
        plugins.callAll(Phase::UnLoad, true);
        return finalReport(code);
    }
    if (const uint32_t failed = plugins.callAll(Phase::Start, false); failed != 0) {
        code = kStartFailedBase + failed;
    } else if (secondGeneration_) {
        secondGeneration_->start(quick);
    }
    if (!quick) {
        broadcastToHandlers(provider_->serviceHandlers(), reporting(),
                            u"IServiceHandler::onRunning",
                            [](IServiceHandler* handler) { handler->onRunning(); });
        if (handler_ != nullptr && handler_->getStatusHandle() != nullptr &&
            ownService_ != nullptr) {
            ownService_->trimWorkingSet();
        }
        plugins.runTest();
        // A reload asked for while starting runs now, under the same hold
        // as the opening (reloadConfig takes the lock again).
        common::RecursiveLock hold(controlLock_);
        running_ = true;
        controlOpen_ = true;
        if (reloadPending_) {
            reloadPending_ = false;
            reloadConfig();
        }
    }
    return 0;
}

uint32_t CHolmCore::stop() {
    try {
        util::GenericRunPerformance timing(u"CHolmCore::stop");
        {
            // A request of the host still running ends before the stop begins.
            common::RecursiveLock hold(controlLock_);
            controlOpen_ = false;
        }
        notifyStopping();
        stopSecondGeneration();
        // Every plugin that runs is stopped and unloaded, also past one that
        // fails: it is destroyed next, so none may be left running.
        CPluginLifecycle& plugins = lifecycle_;
        plugins.callAll(Phase::Stop, true, CPluginLifecycle::OnFailure::GoOn);
        plugins.callAll(Phase::UnLoad, true, CPluginLifecycle::OnFailure::GoOn);
        unloadSecondGeneration();
        plugins.destroyAll();
        common::RecursiveLock hold(controlLock_);
        running_ = false;
        return 0;
    } catch (std::exception& exception) {
        handleException(exception, u"onStart");
        return finalReport(1);
    }
}

// The "plugins2" entries go to the second plugin manager, which loads them
// now; its events go to the core's event log. Without the legacy bridge it
// loads nothing.
void CHolmCore::initializeSecondGeneration() {
    if (!secondGeneration_) {
        return;
    }
    SecondGenerationContext context;
    context.core = this;
    context.reporting = reporting();
    context.productDirectory = productDirectory_;
    context.reportEvent = [this](const EventLine& line) { lifecycle_.events().report(line); };
    context.board = &statusBoard_;
    (void)secondGeneration_->initialize(list_.readEntries("plugins2"), std::move(context));
}

void CHolmCore::stopSecondGeneration() {
    if (secondGeneration_) {
        secondGeneration_->stop();
    }
}

void CHolmCore::unloadSecondGeneration() {
    if (secondGeneration_) {
        secondGeneration_->unload();
    }
}

// Every service handler hears of the stop at the same time, each on a thread
// of its own; stop goes on when all of them have returned. A thread that
// cannot be created leaves its handler's notification to this thread, after
// the others have started. Each call is a running call of the handler list,
// so a handler unregistered meanwhile is not destroyed under it.
void CHolmCore::notifyStopping() {
    ServiceHandlerList& handlers = provider_->serviceHandlers();
    const BoundaryReporting where = reporting();
    auto notify = [&handlers, where](IServiceHandler* handler) {
        handlers.callIfRegistered(handler, [&](IServiceHandler* called) {
            (void)callPlugin(where, u"IServiceHandler::onStopping", calleeOf(called),
                             [&] { called->onStopping(); });
        });
    };
    std::vector<IServiceHandler*> leftOver;
    {
        std::vector<std::jthread> threads;
        for (IServiceHandler* handler : handlers.snapshot()) {
            try {
                threads.emplace_back([notify, handler] {
                    platform::ensureAlternateSignalStack();
                    notify(handler);
                });
            } catch (const std::exception&) {  // no thread (resources, memory)
                leftOver.push_back(handler);
            }
        }
        for (IServiceHandler* handler : leftOver) {
            notify(handler);
        }
    }  // the threads are joined here
    if (!leftOver.empty()) {
        log(common::format(u"%d stop notifications ran on the stopping thread (no thread)",
                           static_cast<int32_t>(leftOver.size())));
    }
}

const char16_t* CHolmCore::getListAttribute(const char16_t* name, const char16_t* defaultValue) {
    return list_.getListAttribute(name ? name : u"", defaultValue ? defaultValue : u"").c_str();
}

void CHolmCore::setCommandLine(int32_t count, const char16_t* const* arguments) {
    services::setProcessCommandLine(services::commandLineFromArguments(count, arguments));
}

void CHolmCore::registerServiceHandler(IServiceHandler* handler) {
    try {
        if (provider_) {
            provider_->serviceHandlers().add(handler);
        }
    } catch (std::exception& exception) {
        handleException(exception, u"pHandler");
    }
}

void CHolmCore::serviceControl(uint32_t control, uint32_t eventType, void* eventData) {
    if (!provider_) {
        return;
    }
    try {
        // Session changes reach the dispatcher's workers before any handler.
        if (async::CAsyncImplObjects* dispatcher = provider_->dispatcher()) {
            dispatcher->onServiceControl(control, eventType, eventData);
        }
        broadcastToHandlers(
            provider_->serviceHandlers(), reporting(), u"IServiceHandler::onControl",
            [&](IServiceHandler* handler) { handler->onControl(control, eventType, eventData); });
    } catch (std::exception& exception) {
        handleException(exception, u"serviceControl");
    }
}

void CHolmCore::reloadConfig() {
    common::RecursiveLock hold(controlLock_);
    try {
        if (!running_) {
            reloadPending_ = true;
            return;
        }
        lifecycle_.callAll(Phase::ReloadConfig, false);
    } catch (std::exception& exception) {
        handleException(exception, u"reloadConfig");
    }
}

uint32_t CHolmCore::finalReport(uint32_t code) {
    log(common::format(u"Stopped... (ErrCode=%d)", code));
    if (handler_ != nullptr) {
        handler_->setServiceStatus(HlmPlg::SERVICE_STATE_STOPPED, code, kStatusWaitHintMs);
    }
    return code;
}

void CHolmCore::handleException(std::exception& exception, const char16_t* place) {
    if (ownService_ != nullptr) {
        if (!ownService_->catchExceptions()) {
            throw;
        }
        ownService_->reportException(place, 0, exception);
    }
    if (handler_ != nullptr && place == std::u16string_view(u"onStart")) {
        handler_->log(0, u"Core", u"Exception catched -> shutdown service!");
    }
}

// Lines carry paths and parser messages: whatever control characters they
// hold are escaped here, on the way out (common/log_text.h).
void CHolmCore::log(const std::u16string& text) {
    if (handler_ != nullptr) {
        handler_->log(0, u"Core", common::logLineText(text).c_str());
    }
}

}  // namespace holm::core
