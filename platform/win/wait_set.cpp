#include "platform/wait_set.h"

#include <algorithm>

#include "platform/win/handle_waits.h"

namespace holm::platform {

// Thread-pool waits on the members' handles; a wake is posted to the set
// directly, without a handle of its own.
struct WaitSet::System {
    win::HandleWaits waits;
    Key wakeKey = 0;
};

WaitSet::WaitSet(Key wakeKey) : system_(std::make_unique<System>()) {
    system_->wakeKey = wakeKey;
}

WaitSet::~WaitSet() = default;

bool WaitSet::valid() const {
    return true;
}

Status WaitSet::add(WaitSource source, Key key) {
    return system_->waits.add(source, key);
}

void WaitSet::remove(WaitSource source) {
    system_->waits.remove(source);
}

void WaitSet::wake() {
    system_->waits.post(system_->wakeKey);
}

Result<std::span<const WaitSet::Key>> WaitSet::wait(Deadline deadline) {
    const size_t count = system_->waits.wait(ready_, deadline);
    return std::span<const Key>(ready_.data(), count);
}

bool containsKey(std::span<const WaitSet::Key> keys, WaitSet::Key key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace holm::platform
