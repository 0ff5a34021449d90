// Registry key watches on Windows are not provided yet: creating one fails
// cleanly with ERROR_NOT_SUPPORTED, so that their users fall back to reading
// again (the exception policy) or report the refusal (the registry worker,
// holm-reg).
#include "registry/registry_watch.h"

namespace holm::registry {

platform::Result<uint64_t> KeyWatchSet::add(const Store&, Root, std::u16string_view, bool,
                                            uint32_t) {
    return platform::Error::windows(platform::WinError::kNotSupported);
}

void KeyWatchSet::remove(uint64_t) {}

std::vector<uint64_t> KeyWatchSet::consume() {
    return {};
}

void KeyWatchSet::rearm(uint64_t) {}

bool KeyWatchSet::armed(uint64_t) const {
    return false;
}

bool KeyWatchSet::intact(uint64_t) const {
    return false;
}

platform::Result<KeyWatch> KeyWatch::create(const Store&, Root, std::u16string_view, bool,
                                            uint32_t) {
    return platform::Error::windows(platform::WinError::kNotSupported);
}

bool KeyWatch::consume() {
    return false;
}

void KeyWatch::rearm() {}

}  // namespace holm::registry
