#include "core/exception_policy.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "common/mutex.h"
#include "platform/memory.h"
#include "registry/registry.h"
#include "registry/registry_watch.h"

namespace holm::core {

namespace {

// "DisableSEH" as last read, and the watch whose firing makes it stale.
class DisableSehCache {
  public:
    bool get() EXCLUDES(lock_) {
        common::MutexLock guard(lock_);
        const std::filesystem::path directory = registry::Store::defaultDirectory();
        if (!fresh(directory)) {
            refresh(directory);
        }
        return value_;
    }

  private:
    bool fresh(const std::filesystem::path& directory) REQUIRES(lock_) {
        if (!known_ || directory != directory_) {
            return false;
        }
        if (!watch_.valid()) {
            return false;  // nothing tells of a change: look again
        }
        // Asked directly rather than by polling the watch's descriptor: the
        // descriptor may tell of a change only some time after it was made
        // (on Windows a thread-pool wait passes it on), while consume() takes
        // in every change made before the call.
        return !watch_.consume();
    }

    // The watch comes first, the read second: a change between the two is
    // seen by the read, a later one fires the watch.
    void refresh(const std::filesystem::path& directory) REQUIRES(lock_) {
        directory_ = directory;
        known_ = true;
        watch_ = registry::KeyWatch();
        // `directory` is the default store's: opened as the default, which on
        // Windows is the system's registry when no directory is configured.
        const auto store = registry::Store::openDefault(registry::StoreAccess::ReadOnly);
        if (!store) {
            value_ = false;  // no store (yet): each call looks for it again
            return;
        }
        watchNearest(*store);
        value_ = debugSwitchSet(kDisableSehValue);
    }

    void watchNearest(const registry::Store& store) REQUIRES(lock_) {
        constexpr uint32_t kFilter = registry::kNotifyName | registry::kNotifyLastSet;
        for (const char16_t* path : {kDebugKey, u"SOFTWARE", u""}) {
            auto watch = registry::KeyWatch::create(store, registry::Root::LocalMachine, path,
                                                    false, kFilter);
            if (watch) {
                watch_ = std::move(*watch);
                return;
            }
        }
    }

    common::Mutex lock_;
    bool known_ GUARDED_BY(lock_) = false;
    bool value_ GUARDED_BY(lock_) = false;
    std::filesystem::path directory_ GUARDED_BY(lock_);
    registry::KeyWatch watch_ GUARDED_BY(lock_);
};

}  // namespace

bool debugSwitchSet(const char16_t* name) {
    const auto store = registry::Store::openDefault(registry::StoreAccess::ReadOnly);
    if (!store) {
        return false;
    }
    const auto key = registry::Key::open(*store, registry::Root::LocalMachine, kDebugKey,
                                         registry::kKeyRead | registry::kKeyWow64_64Key);
    if (!key) {
        return false;
    }
    const auto value = key->queryValue(name);
    return value && registry::readDword(*value).value_or(0) != 0;
}

bool sehDisabledBySwitch() {
    static auto* cache = new DisableSehCache();  // never destroyed: used until the process ends
    return cache->get();
}

void applyHeapCheckSwitch() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (debugSwitchSet(kHeapCheckValue)) {
            platform::enableHeapConsistencyChecks();
        }
    });
}

bool stopOnFault() {
    const char* value = std::getenv("HOLM_STOP_ON_FAULT");
    return value != nullptr && std::string_view(value) == "1";
}

bool catchExceptions(services::CommandLineHolder& commandLine) {
    return !sehDisabledBySwitch() && !commandLine.hasSwitch(u"seh");
}

}  // namespace holm::core
