#include "platform/wait_set.h"

#include <algorithm>
#include <cerrno>

#include "platform/win/unsupported.h"

namespace holm::platform {

// Not provided by this backend yet (see unsupported.h): the set is never
// valid, so a worker that needs one reports that it could not start.
struct WaitSet::System {};

WaitSet::WaitSet(Key) {}

WaitSet::~WaitSet() = default;

bool WaitSet::valid() const {
    return false;
}

Status WaitSet::add(WaitSource, Key) {
    return win::notSupported();
}

void WaitSet::remove(WaitSource) {}

void WaitSet::wake() {}

Result<std::span<const WaitSet::Key>> WaitSet::wait(Deadline) {
    return win::notSupported();
}

bool containsKey(std::span<const WaitSet::Key> keys, WaitSet::Key key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace holm::platform
