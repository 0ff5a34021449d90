#include "core/exception_policy.h"

#include "platform/registry.h"

namespace holm::core {

namespace registry = platform::registry;

bool sehDisabledBySwitch() {
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
    if (key.queryValue(kDisableSehValue, value) != registry::kErrorSuccess) {
        return false;
    }
    return registry::readDword(value).value_or(0) != 0;
}

bool catchExceptions(services::CommandLineHolder& commandLine) {
    return !sehDisabledBySwitch() && !commandLine.hasSwitch(u"seh");
}

}  // namespace holm::core
