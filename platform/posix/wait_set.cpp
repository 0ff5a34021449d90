#include "platform/wait_set.h"

#include <algorithm>

#include "platform/epoll_set.h"
#include "platform/manual_event.h"

namespace holm::platform {

// One epoll instance: waking costs the same for 10 or 10,000 members.
struct WaitSet::System {
    explicit System(Key wakeKey) : wakeKey(wakeKey) {
        member = wake.valid() && epoll.valid() && epoll.add(wake.descriptor(), wakeKey);
    }
    EpollSet epoll;
    ManualEvent wake;
    Key wakeKey;
    bool member = false;
};

WaitSet::WaitSet(Key wakeKey) : system_(std::make_unique<System>(wakeKey)) {}

WaitSet::~WaitSet() = default;

bool WaitSet::valid() const {
    return system_->member;
}

Status WaitSet::add(WaitSource source, Key key) {
    if (!system_->epoll.add(source, key)) {
        return lastSystemError();
    }
    return {};
}

void WaitSet::remove(WaitSource source) {
    system_->epoll.remove(source);
}

void WaitSet::wake() {
    system_->wake.set();
}

Result<std::span<const WaitSet::Key>> WaitSet::wait(Deadline deadline) {
    const int count = system_->epoll.wait(ready_, deadline);
    if (count < 0) {
        return lastSystemError();
    }
    const std::span<const Key> ready(ready_.data(), static_cast<size_t>(count));
    if (containsKey(ready, system_->wakeKey)) {
        // Reading the event clears it: a wake() from now on sets it again.
        system_->wake.reset();
    }
    return ready;
}

bool containsKey(std::span<const WaitSet::Key> keys, WaitSet::Key key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace holm::platform
