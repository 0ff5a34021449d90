#include "core/exception_policy.h"

#include <cstdlib>
#include <mutex>
#include <string_view>

#include "platform/memory.h"
#include "registry/registry.h"

namespace holm::core {

namespace registry = platform::registry;

bool debugSwitchSet(const char16_t* name) {
    registry::Store store;
    if (registry::Store::openDefault(store) != registry::kErrorSuccess) {
        return false;
    }
    registry::Key key;
    if (registry::Key::open(store, registry::Root::LocalMachine, kDebugKey, key,
                            registry::kKeyRead | registry::kKeyWow64_64Key) !=
        registry::kErrorSuccess) {
        return false;
    }
    registry::Value value;
    if (key.queryValue(name, value) != registry::kErrorSuccess) {
        return false;
    }
    return registry::readDword(value).value_or(0) != 0;
}

bool sehDisabledBySwitch() {
    return debugSwitchSet(kDisableSehValue);
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
