#include "core/shared_core.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "common/limits.h"
#include "core/holm_core.h"

namespace holm::core {

namespace {

// The registry of shared cores and a host list are as long as the core's
// other lists may be.
template <typename T>
void checkRoomFor(const std::vector<T>& list) {
    common::checkRoomForOneMore(list.size());
}

}  // namespace

// --- SharedHostHandlers -----------------------------------------------------

void SharedHostHandlers::add(HlmPlg::IHlmCoreHandler* handler) {
    if (handler == nullptr) {
        return;
    }
    common::RecursiveLock guard(lock_);
    checkRoomFor(handlers_);
    handlers_.push_back(handler);
}

void SharedHostHandlers::remove(HlmPlg::IHlmCoreHandler* handler) {
    common::RecursiveLock guard(lock_);
    if (auto found = std::find(handlers_.begin(), handlers_.end(), handler);
        found != handlers_.end()) {
        handlers_.erase(found);
    }
}

template <typename Call>
void SharedHostHandlers::forEach(Call call) {
    common::RecursiveLock guard(lock_);
    for (HlmPlg::IHlmCoreHandler* handler : handlers_) {
        call(*handler);
    }
}

void SharedHostHandlers::log(uint32_t level, const char16_t* source, const char16_t* text) {
    forEach([&](HlmPlg::IHlmCoreHandler& host) { host.log(level, source, text); });
}

void SharedHostHandlers::setServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs) {
    forEach(
        [&](HlmPlg::IHlmCoreHandler& host) { host.setServiceStatus(state, exitCode, waitHintMs); });
}

void SharedHostHandlers::setExitCode(uint32_t code) {
    forEach([&](HlmPlg::IHlmCoreHandler& host) { host.setExitCode(code); });
}

void SharedHostHandlers::requestStop() {
    forEach([](HlmPlg::IHlmCoreHandler& host) { host.requestStop(); });
}

bool SharedHostHandlers::canStart() {
    forEach([](HlmPlg::IHlmCoreHandler& host) { host.canStart(); });
    return true;
}

// --- CHolmCoreSharedHandler -------------------------------------------------

void CHolmCoreSharedHandler::log(uint32_t level, const char16_t* source, const char16_t* text) {
    hosts_.log(level, source, text);
}

void CHolmCoreSharedHandler::setServiceStatus(uint32_t state, uint32_t exitCode,
                                              uint32_t waitHintMs) {
    hosts_.setServiceStatus(state, exitCode, waitHintMs);
}

void CHolmCoreSharedHandler::setExitCode(uint32_t code) {
    hosts_.setExitCode(code);
}

void CHolmCoreSharedHandler::requestStop() {
    hosts_.requestStop();
}

bool CHolmCoreSharedHandler::canStart() {
    return hosts_.canStart();
}

// --- SharedEntry ------------------------------------------------------------

SharedEntry::SharedEntry(std::u16string entryName) : name(std::move(entryName)) {}

SharedEntry::~SharedEntry() = default;

// --- CHlmCoreSharedHlp ------------------------------------------------------

CHlmCoreSharedHlp::~CHlmCoreSharedHlp() {
    registry_.detach(*this);
}

uint32_t CHlmCoreSharedHlp::getVersion() {
    return registry_.withEntry(
        core_, [](SharedEntry& entry) { return entry.core->getVersion(); }, uint32_t{0});
}

HlmPlg::IInterface* CHlmCoreSharedHlp::createInterface(int32_t id) {
    return registry_.withEntry(
        core_, [&](SharedEntry& entry) { return entry.core->createInterface(id); },
        static_cast<HlmPlg::IInterface*>(nullptr));
}

void CHlmCoreSharedHlp::releaseInterface(int32_t id, HlmPlg::IInterface* object) {
    registry_.withEntry(
        core_,
        [&](SharedEntry& entry) {
            entry.core->releaseInterface(id, object);
            return true;
        },
        false);
}

uint32_t CHlmCoreSharedHlp::run(bool /*quick*/) {
    return registry_.withEntry(
        core_,
        [&](SharedEntry& entry) {
            if (entry.runCount == 0) {
                entry.runResult = entry.core->run(true);
            }
            ++entry.runCount;
            ++runs_;
            return entry.runResult;
        },
        uint32_t{0});
}

// Only a proxy that ran counts down: a host that stops without having run
// must not stop the core under the hosts that run it.
uint32_t CHlmCoreSharedHlp::stop() {
    return registry_.withEntry(
        core_,
        [&](SharedEntry& entry) -> uint32_t {
            if (runs_ == 0) {
                return 0;
            }
            --runs_;
            if (--entry.runCount != 0) {
                return 0;
            }
            return entry.core->stop();
        },
        uint32_t{0});
}

// --- CHolmCoreShared --------------------------------------------------------

// Never destroyed: a host that still holds a proxy when the process ends
// must not have its core torn down among the other static objects.
CHolmCoreShared& CHolmCoreShared::instance() {
    static CHolmCoreShared& registry = *new CHolmCoreShared;
    return registry;
}

CHolmCoreShared::~CHolmCoreShared() = default;

std::unique_ptr<CHlmCoreSharedHlp> CHolmCoreShared::attach(std::u16string_view name,
                                                           const char16_t* pluginList,
                                                           HlmPlg::IHlmCoreHandler* handler) {
    auto proxy = std::make_unique<CHlmCoreSharedHlp>(*this, handler);
    common::RecursiveLock guard(lock_);
    SharedEntry* entry = findByName(name);
    if (entry != nullptr) {
        entry->hosts.add(handler);
        ++entry->attachCount;
    } else {
        entry = create(name, pluginList, handler);
        if (entry == nullptr) {
            return nullptr;
        }
    }
    proxy->core_ = entry->core.get();
    return proxy;
}

// The whole start-up runs under the registry lock, so a second host with the
// same name waits for it and then finds the core ready (or tries anew).
SharedEntry* CHolmCoreShared::create(std::u16string_view name, const char16_t* pluginList,
                                     HlmPlg::IHlmCoreHandler* handler) {
    checkRoomFor(entries_);
    auto entry = std::make_unique<SharedEntry>(std::u16string(name));
    // The attaching host is in the host list from the start, so it hears of
    // a start-up failure like the host of a private core.
    entry->hosts.add(handler);
    entry->coreHandler = std::make_unique<CHolmCoreSharedHandler>(entry->hosts);
    entry->core = std::make_unique<CHolmCore>(entry->coreHandler.get());
    if (entry->core->init(pluginList) != 0) {
        return nullptr;
    }
    entry->attachCount = 1;
    entries_.push_back(std::move(entry));
    return entries_.back().get();
}

void CHolmCoreShared::detach(const CHlmCoreSharedHlp& proxy) {
    common::RecursiveLock guard(lock_);
    auto found = positionOf(proxy.core_);
    if (found == entries_.end()) {
        return;
    }
    SharedEntry& entry = **found;
    // A proxy destroyed after run without stop: its runs end here, and when
    // they were the last the core stops as that stop would have done.
    if (proxy.runs_ != 0) {
        entry.runCount -= proxy.runs_;
        if (entry.runCount == 0) {
            entry.core->stop();
        }
    }
    entry.hosts.remove(proxy.handler_);
    if (--entry.attachCount != 0) {
        return;
    }
    std::unique_ptr<SharedEntry> last = std::move(*found);
    entries_.erase(found);
    last->core->setHandler(nullptr);
}

CHolmCoreShared::Entries::iterator CHolmCoreShared::positionOf(const CHolmCore* core) {
    return std::find_if(entries_.begin(), entries_.end(), [core](const auto& entry) {
        return core != nullptr && entry->core.get() == core;
    });
}

SharedEntry* CHolmCoreShared::findByCore(const CHolmCore* core) {
    auto found = positionOf(core);
    return found != entries_.end() ? found->get() : nullptr;
}

SharedEntry* CHolmCoreShared::findByName(std::u16string_view name) {
    for (auto& entry : entries_) {
        if (entry->name == name) {
            return entry.get();
        }
    }
    return nullptr;
}

}  // namespace holm::core
