#include "core/plugin_lifecycle.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <typeinfo>

#include "async/dispatcher.h"
#include "common/format.h"
#include "common/limits.h"
#include "common/log_text.h"
#include "common/parallel_for.h"
#include "common/utf16.h"
#include "core/plugin_boundary.h"
#include "hlmplg/cmdline.h"
#include "hlmplg/interface_ids.h"
#include "platform/file_system.h"
#include "platform/process_info.h"
#include "platform/shared_library.h"
#include "security/plugin_library.h"
#include "security/verified_file.h"
#include "services/config_store.h"
#include "utilities/run_performance.h"

namespace holm::core {

namespace util = Tandro::Utilities;

namespace {

constexpr uint32_t kStatusStartPending = 2;
constexpr uint32_t kStatusStopPending = 3;
constexpr uint32_t kPluginWaitHintMs = 10000;

const char16_t* phaseName(Phase phase) {
    switch (phase) {
        case Phase::Load:
            return u"Load";
        case Phase::UnLoad:
            return u"UnLoad";
        case Phase::Start:
            return u"Start";
        case Phase::Stop:
            return u"Stop";
        case Phase::ReloadConfig:
            return u"ReloadConfig";
        case Phase::None:
            break;
    }
    return u"";
}

// Whether a plugin in `state` takes part in `phase`; the others are skipped.
bool admits(Phase phase, CPlugin::State state) {
    switch (phase) {
        case Phase::Load:
            return state == CPlugin::kUnloaded;
        case Phase::UnLoad:
            return state == CPlugin::kLoaded || state == CPlugin::kStopped;
        case Phase::Start:
            return state == CPlugin::kLoaded;
        case Phase::Stop:
            return state == CPlugin::kStarted;
        default:
            return false;
    }
}

std::u16string loadFailureText(int32_t result, const std::u16string& name) {
    switch (result) {
        case CPluginLifecycle::kSelftestFailed:
            return common::format(u"Unable to load plugin '%s'. Error: Selftest failed.",
                                  name.c_str());
        case CPluginLifecycle::kVersionRefused:
            return common::format(
                u"Unable to load plugin '%s'. Error: The version of the plugin "
                u"interface is not compatible to the currently supported version.",
                name.c_str());
        case CPluginLifecycle::kLoadFailed:
            return common::format(u"Unable to load plugin '%s'. Error: LoadLibrary() failed.",
                                  name.c_str());
        case CPluginLifecycle::kNoEntryPoint:
            return common::format(u"Unable to load plugin '%s'. Error: GetProcAddress() failed.",
                                  name.c_str());
        default:
            return common::format(
                u"Unable to load plugin '%s'. Unknown error occured. ErrCode: %d.", name.c_str(),
                result);
    }
}

// An object obtained from the facade for one step, handed back at its end
// (also when a plugin's exception travels through the step).
class Borrowed {
  public:
    Borrowed(HlmPlg::IHlmPlg& facade, HlmPlg::CHlmPlg* owner, int32_t id)
        : facade_(facade),
          owner_(owner),
          id_(id),
          object_(owner != nullptr ? facade.createInterface(owner, id) : nullptr) {}
    ~Borrowed() {
        if (object_ != nullptr) {
            facade_.releaseInterface(owner_, id_, object_);
        }
    }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;

    template <typename T>
    T* as() const {
        return dynamic_cast<T*>(object_);
    }

  private:
    HlmPlg::IHlmPlg& facade_;
    HlmPlg::CHlmPlg* owner_;
    int32_t id_;
    HlmPlg::IInterface* object_;
};

}  // namespace

CPluginLifecycle::CPluginLifecycle(CPluginManager& facade)
    : facade_(facade), events_(facade, platform::executablePath()) {}

CPluginLifecycle::~CPluginLifecycle() {
    destroyAll();
}

void CPluginLifecycle::setContext(LifecycleContext context) {
    context_ = std::move(context);
    events_.setOwner(context_.owner);
}

platform::Result<security::VerifiedFile, std::string> CPluginLifecycle::verifyLibrary(
    const std::string& path, const security::LoadedModuleQuery& isLoaded) const {
    return security::verifyPluginLibrary(path, context_.productDirectory, isLoaded,
                                         context_.systemLibraries);
}

int32_t CPluginLifecycle::addPlugin(const PluginListEntry& entry, std::string* why) {
    std::string reason;
    const int32_t result = addPluginWithReason(entry, reason);
    if (why != nullptr) {
        *why = std::move(reason);
    }
    return result;
}

CPluginLifecycle::VerifiedEntry CPluginLifecycle::verifyEntry(
    const PluginListEntry& entry, const security::LoadedModuleQuery& isLoaded) const {
    VerifiedEntry verified;
    const std::string path = common::utf16ToUtf8(entry.file);
    if (!platform::pathExists(path)) {
        verified.result = kLoadFailed;
        verified.why = path + ": the file does not exist";
        return verified;
    }
    auto file = verifyLibrary(path, isLoaded);
    if (file) {
        verified.file = std::move(file).value();
    } else {
        verified.result = kSelftestFailed;
        verified.why = file.error();
    }
    return verified;
}

int32_t CPluginLifecycle::addPluginWithReason(const PluginListEntry& entry, std::string& why) {
    VerifiedEntry verified = verifyEntry(entry, security::isLoadedModule);
    return loadVerified(entry, verified, why);
}

int32_t CPluginLifecycle::loadVerified(const PluginListEntry& entry, VerifiedEntry& verified,
                                       std::string& why) {
    if (!verified.file) {
        why = std::move(verified.why);
        return verified.result;
    }
    const std::string path = common::utf16ToUtf8(entry.file);
    // Loaded from the descriptor that was verified: no window in which the
    // file could be exchanged between the check and the load.
    auto loaded = platform::SharedLibrary::openDescriptor(verified.file->descriptor(), path);
    verified.file.reset();  // the loader holds its own mapping now
    if (!loaded) {
        why = path + ": " + loaded.error().message;
        return kLoadFailed;
    }
    platform::SharedLibrary library = std::move(*loaded);
    auto entryPoint = reinterpret_cast<GetHlmPlugin2Function>(library.symbol("getHlmPlugin2"));
    if (entryPoint == nullptr) {
        return kNoEntryPoint;
    }
    bool faulted = false;
    const auto made =
        callPlugin(BoundaryReporting{context_.service, context_.host},
                   common::format(u"CPlugin(%s)::getHlmPlugin2", entry.name.c_str()),
                   Callee{nullptr, reinterpret_cast<const void*>(entryPoint), &faulted},
                   [&] { return entryPoint(&facade_, entry.params.c_str()); });
    if (!made) {
        if (faulted) {
            library.keepLoaded();  // its frames were abandoned
        }
        return CPlugin::kVersionException;
    }
    HlmPlg::CHlmPlg* object = *made;
    if (object == nullptr) {
        return kDeclined;
    }
    auto plugin =
        std::make_unique<CPlugin>(context_.service, std::move(library), entry.name, object);
    const int32_t result = plugin->loadPlugin();
    if (result != CPlugin::kVersionAccepted) {
        dispose(std::move(plugin));
        return result;
    }
    if (plugins_.size() >= common::kMaxListLength) {
        dispose(std::move(plugin));  // a plugin that cannot be kept is released first
    }
    common::checkRoomForOneMore(plugins_.size());
    if (context_.board != nullptr) {
        context_.board->added(1, entry.name, entry.file, plugin->version());
    }
    plugins_.push_back(std::move(plugin));
    return kAdded;
}

// The libraries of a list are verified on every core: hashing the files is
// most of a start's cost, and it depends on nothing a plugin does. Each entry
// keeps its verified descriptor, and this thread loads the entries one by one
// in list order from those descriptors, each as soon as its own check is
// done, while the other cores go on checking the next ones. Log lines and
// events come in list order. Every check of a batch sees the modules loaded
// before the batch, as if all of them ran before the first load. Batches
// bound the number of descriptors held open at once.
void CPluginLifecycle::loadList(const std::vector<PluginListEntry>& entries) {
    constexpr size_t kBatch = 256;
    for (size_t first = 0; first < entries.size(); first += kBatch) {
        const size_t count = std::min(kBatch, entries.size() - first);
        std::vector<VerifiedEntry> verified(count);
        const std::vector<platform::FileIdentity> loadedBefore = platform::loadedModuleIds();
        const security::LoadedModuleQuery isLoaded = [&](const platform::FileIdentity& file) {
            return std::ranges::find(loadedBefore, file) != loadedBefore.end();
        };
        common::parallelForInOrder(
            count,
            [&](size_t index) { verified[index] = verifyEntry(entries[first + index], isLoaded); },
            [&](size_t index) { loadListEntry(entries[first + index], verified[index]); });
    }
}

void CPluginLifecycle::loadListEntry(const PluginListEntry& entry, VerifiedEntry& verified) {
    std::string why;
    const int32_t result = loadVerified(entry, verified, why);
    if (result == kAdded || result == kDeclined) {
        return;
    }
    reportEvent(kFailureEvent, kMessageLoadFailed, {}, entry.file, static_cast<uint32_t>(result));
    if (context_.board != nullptr) {
        context_.board->loadFailed(1, entry.name, entry.file, static_cast<uint32_t>(result));
    }
    log(kLevelAlways, loadFailureText(result, entry.name));
    if (!why.empty()) {
        log(kLevelAlways, common::format(u"PM(%s): %s", common::logInsert(entry.name).c_str(),
                                         common::logInsert(common::utf8ToUtf16(why)).c_str()));
    }
}

// Handlers kept in the declaration records of a removed plugin: only those
// handed over as owned are destroyed (see CPluginManager::forgetDeclarations);
// a handler the plugin keeps itself goes with the plugin object.
void CPluginLifecycle::removeNotInstalled() {
    const Borrowed object(facade_, context_.owner, HlmPlg::IID_CONFIG);
    auto* config = object.as<HlmPlg::IConfig>();
    if (config == nullptr) {
        return;
    }
    for (size_t index = plugins_.size(); index > 0;) {
        --index;
        if (plugins_[index]->isInstalled(config)) {
            continue;
        }
        log(kLevelDetail, common::format(u"PM(%s): unloading ... (not installed)",
                                         plugins_[index]->name().c_str()));
        auto removed = std::move(plugins_[index]);
        plugins_.erase(plugins_.begin() + static_cast<std::ptrdiff_t>(index));
        dispose(std::move(removed));
        index = plugins_.size();  // walk again from the end
    }
}

uint32_t CPluginLifecycle::callAll(Phase phase, bool reverse, OnFailure onFailure) {
    phase_ = phase;
    if (phase == Phase::ReloadConfig) {
        reloadConfiguration();
        return 0;
    }
    if (phase == Phase::Stop && context_.dispatcher != nullptr) {
        // No watch fires into a plugin that is stopping.
        context_.dispatcher->stopAll();
    }
    const size_t count = plugins_.size();
    uint32_t firstFailed = 0;
    for (size_t step = 0; step < count; ++step) {
        const size_t index = reverse ? count - 1 - step : step;
        if (callOne(*plugins_[index], phase)) {
            continue;
        }
        if (firstFailed == 0) {
            firstFailed = static_cast<uint32_t>(index + 1);
        }
        if (onFailure == OnFailure::StopWalk) {
            break;
        }
    }
    return firstFailed;
}

bool CPluginLifecycle::callOne(CPlugin& plugin, Phase phase) {
    if (!admits(phase, plugin.state())) {
        return true;
    }
    const char16_t* name = phaseName(phase);
    util::GenericRunPerformance timing(u"PM(" + plugin.name() + u")::" + name);
    log(kLevelDetail, common::format(u"PM(%s): calling %s() ...", plugin.name().c_str(), name));
    const bool succeeded = callPhase(plugin, phase);
    if (succeeded) {
        log(kLevelDetail,
            common::format(u"PM(%s): calling %s() ... done", plugin.name().c_str(), name));
    } else {
        log(kLevelAlways,
            common::format(u"PM(%s): calling %s() ... failed", plugin.name().c_str(), name));
    }
    return succeeded;
}

bool CPluginLifecycle::callPhase(CPlugin& plugin, Phase phase) {
    switch (phase) {
        case Phase::Load: {
            if (plugin.load()) {
                noteStatus(plugin, phase, true, 0);
                return true;
            }
            const uint32_t lastError = plugin.getLastError();
            noteStatus(plugin, phase, false, lastError);
            reportEvent(kFailureEvent, kMessageLoadFailed, {}, plugin.name(), lastError);
            return false;
        }
        case Phase::UnLoad: {
            const bool unloaded = plugin.unload();
            noteStatus(plugin, phase, unloaded, 0);
            return unloaded;
        }
        case Phase::Start:
            if (context_.host != nullptr) {
                context_.host->setServiceStatus(kStatusStartPending, 0, kPluginWaitHintMs);
            }
            if (plugin.start()) {
                noteStatus(plugin, phase, true, 0);
                reportEvent(kSuccessEvent, kMessageStartSucceeded, {}, plugin.name(), 0);
                return true;
            }
            // Stop skips a plugin that never started, so what its base start
            // acquired before the failure is given back now.
            facade_.releaseAcquired(plugin.object());
            {
                const uint32_t lastError = plugin.getLastError();
                noteStatus(plugin, phase, false, lastError);
                reportEvent(kFailureEvent, kMessageStartFailed, {}, plugin.name(), lastError);
            }
            return false;
        case Phase::Stop:
            if (context_.host != nullptr) {
                context_.host->setServiceStatus(kStatusStopPending, 0, kPluginWaitHintMs);
            }
            if (plugin.stop()) {
                noteStatus(plugin, phase, true, 0);
                reportEvent(kSuccessEvent, 0, u"Plugin %s has been stopped successfully!",
                            plugin.name(), 0);
                return true;
            }
            noteStatus(plugin, phase, false, 0);
            return false;
        default:
            return true;
    }
}

// Through the plugin boundary: a handler that throws or faults fails only
// its own notification, and the reload goes on with the next handler.
template <typename Call>
void CPluginLifecycle::notifyConfigHandler(const char16_t* place, HlmPlg::IConfigHandler* handler,
                                           Call call) {
    (void)callPlugin(BoundaryReporting{context_.service, context_.host}, place, calleeOf(handler),
                     [&] { call(handler); });
}

// The plugins are not called in this phase: the store re-reads the
// configuration, every configuration handler hears the reload (walked over a
// snapshot, no lock held during a call) and those whose object read a value
// that changed hear the change; a temporary folder the reload moved away
// from is removed when it is empty.
void CPluginLifecycle::reloadConfiguration() {
    services::CConfigStore* store = context_.configStore;
    if (store == nullptr) {
        return;
    }
    const std::u16string before = store->currentTempDirectory();
    store->reload();
    services::ConfigHandlerList& handlers = store->handlers();
    for (const services::ConfigHandlerPair& pair : handlers.snapshot()) {
        handlers.callIfRegistered(pair, [&](const services::ConfigHandlerPair& called) {
            notifyConfigHandler(
                u"IConfigHandler::onConfigReloaded", called.handler,
                [](HlmPlg::IConfigHandler* handler) { handler->onConfigReloaded(); });
            if (store->changed(called.object)) {
                notifyConfigHandler(
                    u"IConfigHandler::onConfigChanged", called.handler,
                    [](HlmPlg::IConfigHandler* handler) { handler->onConfigChanged(); });
            }
        });
    }
    const std::u16string after = store->currentTempDirectory();
    if (!before.empty() && !common::equalsNoCase(before, after)) {
        // A folder that still holds files stays.
        (void)platform::removeEmptyDirectory(common::utf16ToUtf8(before));
    }
}

bool CPluginLifecycle::handleCmdLine() {
    const Borrowed object(facade_, context_.owner, HlmPlg::IID_CMDLINE);
    for (const auto& plugin : plugins_) {
        if (plugin->handleCmdLine(object.as<HlmPlg::ICmdLine>())) {
            log(kLevelAlways,
                common::format(u"PM(%s): handleCmdline() = true", plugin->name().c_str()));
            return true;
        }
    }
    return false;
}

void CPluginLifecycle::runTest() {
    std::u16string value;
    {
        const Borrowed object(facade_, context_.owner, HlmPlg::IID_CMDLINE);
        auto* cmdLine = object.as<HlmPlg::ICmdLine>();
        if (cmdLine != nullptr && cmdLine->hasSwitch(u"test")) {
            value = cmdLine->getSwitchValue(u"test");
        }
    }
    const auto equals = value.find(u'=');
    const std::u16string target = value.substr(0, equals);
    const std::u16string argument = equals == std::u16string::npos ? u"" : value.substr(equals + 1);
    if (target.empty()) {
        return;
    }
    (void)testPlugins(target, argument, {});
}

uint32_t CPluginLifecycle::testPlugins(const std::u16string& target, const std::u16string& argument,
                                       const TestReport& report) {
    const bool all = common::equalsNoCase(target, u"all");
    uint32_t tested = 0;
    for (const auto& plugin : plugins_) {
        if (!all && !common::equalsNoCase(plugin->name(), target)) {
            continue;
        }
        const bool passed = plugin->test(argument.c_str());
        ++tested;
        if (context_.board != nullptr) {
            context_.board->faults(1, plugin->name(), plugin->faultsContained());
        }
        const std::u16string shownArgument = common::logInsert(argument);
        log(kLevelAlways, passed ? common::format(u"PM(%s): test(%s) = true",
                                                  plugin->name().c_str(), shownArgument.c_str())
                                 : common::format(u"PM(%s): test(%s) = false",
                                                  plugin->name().c_str(), shownArgument.c_str()));
        if (report) {
            report(plugin->name(), passed);
        }
    }
    return tested;
}

void CPluginLifecycle::noteStatus(const CPlugin& plugin, Phase phase, bool succeeded,
                                  uint32_t lastError) {
    PluginStatusBoard* board = context_.board;
    if (board == nullptr) {
        return;
    }
    board->faults(1, plugin.name(), plugin.faultsContained());
    if (lastError != 0) {
        board->lastError(1, plugin.name(), lastError);
    }
    if (!succeeded) {
        if (phase == Phase::Start) {
            board->startFailed(1, plugin.name(), lastError);
        } else if (phase == Phase::Load) {
            board->loadFailed(1, plugin.name(), {}, lastError);
        }
        return;
    }
    switch (plugin.state()) {
        case CPlugin::kLoaded:
            board->changed(1, plugin.name(), common::hostctl::PluginState::Loaded);
            break;
        case CPlugin::kStarted:
            board->changed(1, plugin.name(), common::hostctl::PluginState::Started);
            break;
        case CPlugin::kStopped:
            board->changed(1, plugin.name(), common::hostctl::PluginState::Stopped);
            break;
        case CPlugin::kUnloaded:
            board->changed(1, plugin.name(), common::hostctl::PluginState::Unloaded);
            break;
    }
}

void CPluginLifecycle::destroyAll() {
    while (!plugins_.empty()) {
        auto plugin = std::move(plugins_.back());
        plugins_.pop_back();
        dispose(std::move(plugin));
    }
}

void CPluginLifecycle::reportEvent(EventKind kind, uint32_t messageId, std::u16string text,
                                   std::u16string insertion, uint32_t code) {
    events_.report({kind, messageId, std::move(text), std::move(insertion), code});
}

void CPluginLifecycle::dispose(std::unique_ptr<CPlugin> plugin) {
    // Interfaces it still holds (a failed Stop, no Stop at all) are released
    // and their handlers unregistered; then owned handlers are destroyed
    // while its code is still mapped, and the records go.
    facade_.forgetDeclarations(plugin->object());
    const std::u16string residue = residueOf(*plugin);
    if (residue.empty()) {
        plugin.reset();
        return;
    }
    log(kLevelAlways, common::format(u"PM(%s): library kept loaded: %s", plugin->name().c_str(),
                                     residue.c_str()));
    plugin->abandon();
}

std::u16string CPluginLifecycle::residueOf(const CPlugin& plugin) const {
    if (plugin.faulted()) {
        return u"a fault was raised in its code";
    }
    if (facade_.hasLiveInterfacesFrom(plugin.object())) {
        return u"interface objects it provides are still in use";
    }
    if (facade_.isRegisteredProvider(plugin.object())) {
        return u"it is still registered as an interface provider";
    }
    if (hasHandlerInLibrary(plugin.library())) {
        return u"a service handler of it is still registered";
    }
    return {};
}

// A handler belongs to the library when the object itself or its dynamic
// type's information lies in the library's mapping.
bool CPluginLifecycle::hasHandlerInLibrary(const platform::SharedLibrary& library) const {
    if (context_.serviceHandlers == nullptr || !library.valid()) {
        return false;
    }
    // Looked at as a running call of each handler, so that none is destroyed
    // by its owner on another thread while its type is read.
    bool found = false;
    context_.serviceHandlers->forEach([&](HlmPlg::IServiceHandler* handler) {
        found = found || platform::addressInModule(handler, library) ||
                platform::addressInModule(&typeid(*handler), library);
    });
    return found;
}

// Lines carry plugin names and arguments: whatever control characters they
// hold are escaped here, on the way out (common/log_text.h).
void CPluginLifecycle::log(uint32_t level, const std::u16string& text) const {
    if (context_.host != nullptr) {
        context_.host->log(level, u"Core", common::logLineText(text).c_str());
    }
}

}  // namespace holm::core
