#include "gateway/plugin_manager2.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "common/format.h"
#include "common/log_text.h"
#include "common/utf16.h"
#include "core/plugin_boundary.h"
#include "gateway/legacy_bridge.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/service.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "security/plugin_library.h"

namespace holm::gateway {
namespace {

using PluginFactoryFunction = HlmPlg::IPluginObject2* (*)(const char*);

constexpr uint32_t kStartWaitHintMs = 10000;
constexpr size_t kDisplayNameLength = 31;

common::Mutex instanceLock;
PluginManager2* instance GUARDED_BY(instanceLock) = nullptr;

// The entry's factory name in ASCII: each UTF-16 unit truncated to 8 bits.
std::string truncateToAscii(const std::u16string& text) {
    std::string ascii;
    ascii.reserve(text.size());
    for (char16_t unit : text) {
        ascii.push_back(static_cast<char>(unit & 0xFF));
    }
    return ascii;
}

std::string displayNameOf(const std::string& path, const std::string& factoryName) {
    std::string name = path + "!" + factoryName;
    if (name.size() > kDisplayNameLength) {
        name.resize(kDisplayNameLength);
    }
    return name;
}

std::u16string placeOf(const std::string& displayName, const char16_t* method) {
    return common::format(u"PluginManager2(%S)::%s", displayName.c_str(), method);
}

}  // namespace

// One loaded plugin. The list holds one reference; a pass or request holds
// another while it calls the plugin, so the root and the library outlive an
// unload that runs meanwhile.
struct PluginManager2::Context {
    HlmPlg::RefPtr<HlmPlg::IHolmPlugin2> root;
    // Written under the manager's lock; read without it by createObject.
    std::atomic<uint32_t> state{kLoaded};
    platform::SharedLibrary library;
    std::string displayName;
    std::string typeName;
    core::BoundaryReporting reporting;
    // Where createObject calls report (made once: it is the hot path).
    std::u16string createObjectPlace;
    // An object of the plugin went out: it may outlive the plugin, so the
    // library stays mapped.
    std::atomic<bool> handedOut{false};
    // Taken off the list by an unload while its plugin was inside a call:
    // the pass that made the call finishes the unload.
    bool abandoned = false;

    ~Context() {
        if (HlmPlg::IHolmPlugin2* object = root.detach()) {
            (void)core::callPlugin(reporting, placeOf(displayName, u"release"),
                                   core::calleeOf(object), [object] { object->release(); });
        }
        if (handedOut || core::faultedIn(library)) {
            library.keepLoaded();
        }
    }
};

PluginManager2* PluginManager2::getInstance() {
    common::MutexLock hold(instanceLock);
    if (instance != nullptr) {
        instance->addRef();
    } else {
        instance = new PluginManager2();
    }
    return instance;
}

PluginManager2* PluginManager2::create() {
    return new PluginManager2();
}

core::BoundaryReporting PluginManager2::currentReporting() {
    common::MutexLock hold(instanceLock);
    return instance != nullptr ? instance->reporting() : core::BoundaryReporting{};
}

uint32_t PluginManager2::addRef() {
    return references_.fetch_add(1) + 1;
}

// The last release and getInstance meet under the instance lock, so the
// process-wide pointer never names a destroyed manager.
uint32_t PluginManager2::release() {
    common::MutexLock hold(instanceLock);
    const uint32_t left = references_.fetch_sub(1) - 1;
    if (left == 0) {
        if (instance == this) {
            instance = nullptr;
        }
        hold.unlock();
        delete this;
    }
    return left;
}

PluginManager2::~PluginManager2() {
    unload();
}

core::BoundaryReporting PluginManager2::reporting() {
    common::MutexLock hold(lock_);
    return context_.reporting;
}

HlmPlg::IHlmCore* PluginManager2::getCore() {
    common::MutexLock hold(lock_);
    return core_;
}

void PluginManager2::setBusyWaitLimit(std::chrono::milliseconds limit) {
    common::MutexLock hold(lock_);
    busyWaitLimit_ = limit;
}

size_t PluginManager2::count() {
    common::MutexLock hold(lock_);
    return contexts_.size();
}

bool PluginManager2::waitIdle(common::MutexLock& hold, const Context& context) {
    if ((context.state & kBusy) == 0) {
        return true;  // the common case reads no clock
    }
    const auto deadline = std::chrono::steady_clock::now() + busyWaitLimit_;
    while ((context.state & kBusy) != 0) {
        if (!idle_.waitUntil(hold, deadline)) {
            return (context.state & kBusy) == 0;
        }
    }
    return true;
}

bool PluginManager2::listed(const Context& context) const {
    return std::any_of(contexts_.begin(), contexts_.end(),
                       [&](const ContextRef& entry) { return entry.get() == &context; });
}

std::vector<PluginManager2::ContextRef> PluginManager2::snapshot(bool reverse) {
    common::MutexLock hold(lock_);
    std::vector<ContextRef> contexts(contexts_.begin(), contexts_.end());
    if (reverse) {
        std::reverse(contexts.begin(), contexts.end());
    }
    return contexts;
}

// Ends a pass's call. An unload that gave up waiting for it has taken the
// plugin off the list; its uninit is made now that its call returned, and
// the root and library go with this pass's reference.
void PluginManager2::finishCall(Context& context, uint32_t state) {
    bool abandoned = false;
    {
        common::MutexLock hold(lock_);
        abandoned = context.abandoned;
        context.state = abandoned ? kUnloading : state;
    }
    idle_.notifyAll();
    if (abandoned) {
        HlmPlg::IHolmPlugin2* root = context.root.get();
        (void)core::callPlugin(context.reporting, placeOf(context.displayName, u"uninit"),
                               core::calleeOf(root), [root] { root->uninit(); });
        noteState(context.typeName, common::hostctl::PluginState::Unloaded);
    }
}

uint32_t PluginManager2::initialize(const std::vector<core::PluginListEntry>& entries,
                                    core::SecondGenerationContext context) {
    {
        common::MutexLock hold(lock_);
        core_ = context.core;
        context_ = std::move(context);
    }
    if (!LegacyBridge::attachManager(this)) {
        if (!entries.empty()) {
            log(u"PM2: the legacy bridge is not loaded; no second-generation plugin is loaded");
        }
        return kNoBridge;
    }
    for (const core::PluginListEntry& entry : entries) {
        const std::string factoryName = truncateToAscii(entry.params);
        const uint32_t code = loadPlugin(entry.file, factoryName);
        noteLoad(common::utf8ToUtf16(factoryName), entry.file, code);
        if (code != 0 && code != 0xFFFFFFFF) {
            reportEvent(false, kMessageLoadFailed, {}, common::utf16ToUtf8(entry.file), code);
            log(common::format(u"PM2: %s (%S): load failed with code %u",
                               common::logInsert(entry.file).c_str(),
                               truncateToAscii(entry.params).c_str(), code));
        }
    }
    return 0;
}

uint32_t PluginManager2::loadPlugin(const std::u16string& path, const std::string& factoryName) {
    const std::string file = common::utf16ToUtf8(path);
    if (!platform::pathExists(file)) {
        return kFileMissing;
    }
    std::string productDirectory;
    {
        common::MutexLock hold(lock_);
        productDirectory = common::utf16ToUtf8(context_.productDirectory);
    }
    const auto verified = security::verifyPluginLibrary(file, productDirectory);
    if (!verified) {
        log(common::format(u"PM2: %s",
                           common::logInsert(common::utf8ToUtf16(verified.error())).c_str()));
        return kNotVerified;
    }
    auto loaded = platform::SharedLibrary::openDescriptor(verified->descriptor(), file);
    if (!loaded) {
        return loaded.error().windowsError;
    }
    auto context = std::make_shared<Context>();
    context->library = std::move(*loaded);
    context->displayName = displayNameOf(file, factoryName);
    context->typeName = factoryName;
    context->createObjectPlace = placeOf(context->displayName, u"createObject");
    context->reporting = reporting();
    auto factory =
        reinterpret_cast<PluginFactoryFunction>(context->library.symbol("PluginFactory"));
    if (factory == nullptr) {
        return platform::WinError::kProcNotFound;
    }
    const auto made =
        core::callPlugin(context->reporting, placeOf(context->displayName, u"PluginFactory"),
                         core::Callee{nullptr, reinterpret_cast<const void*>(factory), nullptr},
                         [&] { return factory(factoryName.c_str()); });
    if (!made) {
        return kInitException;
    }
    HlmPlg::IPluginObject2* object = *made;
    if (object == nullptr) {
        return kNoRoot;
    }
    // Every way out below releases the root (through the boundary) before
    // the context, and with it the library, goes.
    auto* root = dynamic_cast<HlmPlg::IHolmPlugin2*>(object);
    const auto name =
        core::callPlugin(context->reporting, placeOf(context->displayName, u"getTypeName"),
                         core::calleeOf(object), [object] {
                             const char* typeName = object->getTypeName();
                             return std::string(typeName ? typeName : "");
                         });
    if (root == nullptr || !name || *name != factoryName) {
        context->root.reset();
        (void)core::callPlugin(context->reporting, placeOf(context->displayName, u"release"),
                               core::calleeOf(object), [object] { object->release(); });
        return kOtherName;
    }
    context->root.reset(root);
    availableAfterInit_ = false;
    const auto initialized =
        core::callPlugin(context->reporting, placeOf(context->displayName, u"init"),
                         core::calleeOf(root), [&] { return root->init(this); });
    if (!initialized) {
        return kInitException;
    }
    if (*initialized != 0) {
        return *initialized;
    }
    {
        common::MutexLock hold(lock_);
        if (availableAfterInit_) {
            context->state = kLoaded | kAvailable;
        }
        contexts_.push_back(std::move(context));
        publishContexts();
    }
    return 0;
}

void PluginManager2::setAvailableAfterInit() {
    availableAfterInit_ = true;
}

HlmPlg::IPluginObject2* PluginManager2::createObject(const char* factoryName,
                                                     const char* typeName) {
    if (factoryName == nullptr || typeName == nullptr) {
        return nullptr;
    }
    // The common case takes no lock and no counted reference: the list is
    // read as published, and the context stays alive while the reader holds
    // that list, however long the plugin's call takes (an unload meanwhile
    // takes it off the list; the list, and with it the context, goes when
    // this call ends). A busy plugin is waited for the locked way.
    {
        const auto reader = published_.read();
        if (reader.acquired()) {
            Context* context = reader.get() != nullptr ? find(*reader.get(), factoryName) : nullptr;
            if (context == nullptr) {
                return nullptr;
            }
            const uint32_t state = context->state.load(std::memory_order_acquire);
            if ((state & kBusy) == 0) {
                return (state & (kAvailable | kStarted)) != 0 ? callCreate(*context, typeName)
                                                              : nullptr;
            }
        }
    }
    ContextRef context;
    {
        common::MutexLock hold(lock_);
        const auto found =
            std::find_if(contexts_.begin(), contexts_.end(),
                         [&](const ContextRef& entry) { return entry->typeName == factoryName; });
        if (found == contexts_.end()) {
            return nullptr;
        }
        context = *found;
        if (!waitIdle(hold, *context)) {
            platform::setLastError(kBusyTimeout);
            return nullptr;
        }
        if ((context->state & (kAvailable | kStarted)) == 0) {
            return nullptr;
        }
    }
    return callCreate(*context, typeName);
}

PluginManager2::Context* PluginManager2::find(const Listed& listed, const char* factoryName) {
    for (const ContextRef& context : listed.contexts) {
        if (std::strcmp(context->typeName.c_str(), factoryName) == 0) {
            return context.get();
        }
    }
    return nullptr;
}

HlmPlg::IPluginObject2* PluginManager2::callCreate(Context& context, const char* typeName) {
    HlmPlg::IHolmPlugin2* root = context.root.get();
    const auto made =
        core::callPlugin(context.reporting, context.createObjectPlace, core::calleeOf(root),
                         [&] { return root->createObject(typeName); });
    HlmPlg::IPluginObject2* object = made.value_or(nullptr);
    // Written once: the flag's line stays shared between the callers.
    if (object != nullptr && !context.handedOut.load(std::memory_order_relaxed)) {
        context.handedOut.store(true, std::memory_order_relaxed);
    }
    return object;
}

void PluginManager2::publishContexts() {
    published_.publish(std::make_shared<const Listed>(
        Listed{std::vector<ContextRef>(contexts_.begin(), contexts_.end())}));
}

void PluginManager2::start(bool quick) {
    for (const ContextRef& context : snapshot(false)) {
        startOne(context, quick);
    }
    for (const ContextRef& context : snapshot(false)) {
        startedOne(context);
    }
}

void PluginManager2::startOne(const ContextRef& context, bool quick) {
    {
        common::MutexLock hold(lock_);
        if (!waitIdle(hold, *context)) {
            hold.unlock();
            reportEvent(false, core::kMessageStartFailed, {}, context->typeName, kBusyTimeout);
            return;
        }
        if (context->state != kLoaded || !listed(*context)) {
            return;
        }
        context->state = kStarting;
    }
    if (!quick) {
        reportStartPending();
    }
    HlmPlg::IHolmPlugin2* root = context->root.get();
    const uint32_t result =
        core::callPlugin(context->reporting, placeOf(context->displayName, u"start"),
                         core::calleeOf(root), [root] { return root->start(); })
            .value_or(kInitException);
    if (result == 0) {
        noteState(context->typeName, common::hostctl::PluginState::Started);
        reportEvent(true, core::kMessageStartSucceeded, {}, context->typeName, 0);
    } else {
        if (core::PluginStatusBoard* board = statusBoard()) {
            board->startFailed(2, common::utf8ToUtf16(context->typeName), result);
        }
        reportEvent(false, core::kMessageStartFailed, {}, context->typeName, result);
    }
    finishCall(*context, result == 0 ? kStarted : kLoaded);
}

void PluginManager2::startedOne(const ContextRef& context) {
    {
        common::MutexLock hold(lock_);
        if (!waitIdle(hold, *context) || context->state != kStarted || !listed(*context)) {
            return;
        }
    }
    HlmPlg::IHolmPlugin2* root = context->root.get();
    (void)core::callPlugin(context->reporting, placeOf(context->displayName, u"onStarted"),
                           core::calleeOf(root), [root] { root->onStarted(); });
    reportEvent(true, core::kMessageStartSucceeded, {}, context->typeName, 0);
}

void PluginManager2::stop() {
    for (const ContextRef& context : snapshot(true)) {
        stopOne(context);
    }
}

void PluginManager2::stopOne(const ContextRef& context) {
    {
        common::MutexLock hold(lock_);
        if (!waitIdle(hold, *context)) {
            hold.unlock();
            reportEvent(false, 0, u"Plugin %s did not finish its call; not stopped",
                        context->typeName, kBusyTimeout);
            return;
        }
        if (context->state != kStarted || !listed(*context)) {
            return;
        }
        context->state = kStopping;
    }
    HlmPlg::IHolmPlugin2* root = context->root.get();
    (void)core::callPlugin(context->reporting, placeOf(context->displayName, u"stop"),
                           core::calleeOf(root), [root] { root->stop(); });
    noteState(context->typeName, common::hostctl::PluginState::Stopped);
    reportEvent(true, 0, u"Plugin %s has been stopped successfully!", context->typeName, 0);
    finishCall(*context, kLoaded);
}

void PluginManager2::unload() {
    stop();
    for (;;) {
        ContextRef context;
        {
            common::MutexLock hold(lock_);
            if (contexts_.empty()) {
                return;
            }
            context = std::move(contexts_.back());
            contexts_.pop_back();
            publishContexts();
            if (!waitIdle(hold, *context)) {
                context->abandoned = true;
                hold.unlock();
                reportEvent(false, 0, u"Plugin %s did not finish its call; unloaded when it does",
                            context->typeName, kBusyTimeout);
                published_.reclaim();
                continue;
            }
            context->state = kUnloading;
        }
        // The list it left goes now unless a createObject still reads it.
        published_.reclaim();
        HlmPlg::IHolmPlugin2* root = context->root.get();
        (void)core::callPlugin(context->reporting, placeOf(context->displayName, u"uninit"),
                               core::calleeOf(root), [root] { root->uninit(); });
        noteState(context->typeName, common::hostctl::PluginState::Unloaded);
        // The root is released and the library freed with the last
        // reference: here, or when a createObject in flight returns.
    }
}

core::PluginStatusBoard* PluginManager2::statusBoard() {
    common::MutexLock hold(lock_);
    return context_.board;
}

// 0xFFFFFFFF is a plugin that asked to be left out: no record.
void PluginManager2::noteLoad(const std::u16string& name, const std::u16string& file,
                              uint32_t code) {
    core::PluginStatusBoard* board = statusBoard();
    if (board == nullptr || code == 0xFFFFFFFF) {
        return;
    }
    if (code != 0) {
        board->loadFailed(2, name, file, code);
        return;
    }
    board->added(2, name, file, 0);
    board->changed(2, name, common::hostctl::PluginState::Loaded);
}

void PluginManager2::noteState(const std::string& typeName, common::hostctl::PluginState state) {
    if (core::PluginStatusBoard* board = statusBoard()) {
        board->changed(2, common::utf8ToUtf16(typeName), state);
    }
}

void PluginManager2::reportStartPending() {
    HlmPlg::IHlmCore* core = getCore();
    if (core == nullptr) {
        return;
    }
    HlmPlg::IInterface* made = core->createInterface(HlmPlg::IID_SERVICE);
    if (auto* service = dynamic_cast<HlmPlg::IService*>(made)) {
        service->reportStartPending(kStartWaitHintMs);
    }
    if (made != nullptr) {
        core->releaseInterface(HlmPlg::IID_SERVICE, made);
    }
}

void PluginManager2::reportEvent(bool success, uint32_t messageId, std::u16string text,
                                 const std::string& insertion, uint32_t code) {
    std::function<void(const core::EventLine&)> report;
    {
        common::MutexLock hold(lock_);
        report = context_.reportEvent;
    }
    if (report) {
        report({success ? core::kSuccessEvent : core::kFailureEvent, messageId, std::move(text),
                common::utf8ToUtf16(insertion), code});
    }
}

void PluginManager2::log(const std::u16string& text) {
    const core::BoundaryReporting where = reporting();
    if (where.host != nullptr) {
        where.host->log(0, u"Core", text.c_str());
    }
}

}  // namespace holm::gateway
