#include "platform/change_notifier.h"

#include "platform/file_system.h"
#include "platform/win/unsupported.h"

namespace holm::platform {

// Directory change watches are not provided by this backend yet (see
// unsupported.h): no notifier is made.
Result<ChangeNotifier> ChangeNotifier::open() {
    return win::notSupported();
}

Result<int> ChangeNotifier::watch(const std::string&, bool) {
    return win::notSupported();
}

void ChangeNotifier::unwatch(int) {}

Status ChangeNotifier::read(std::vector<ChangeEvent>&) {
    return win::notSupported();
}

ChangeNotifierLimits changeNotifierLimits() {
    return {};
}

std::vector<std::string> subdirectoryNames(const std::string& path) {
    std::vector<std::string> names;
    auto entries = enumerate(path, "*");
    if (entries) {
        for (DirectoryEntry& entry : *entries) {
            if (entry.type == FileType::kDirectory) {
                names.push_back(std::move(entry.name));
            }
        }
    }
    return names;
}

}  // namespace holm::platform
