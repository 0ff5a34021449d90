#include "gateway/notifier.h"

#include <algorithm>

#include "core/plugin_boundary.h"
#include "gateway/plugin_manager2.h"

namespace holm::gateway {

bool SubscriberList::contains(HlmPlg::ISubscriber2* subscriber) const {
    return std::find(subscribers_.begin(), subscribers_.end(), subscriber) != subscribers_.end();
}

uint32_t SubscriberList::subscribe(HlmPlg::ISubscriber2* subscriber) {
    std::lock_guard hold(lock_);
    if (subscriber == nullptr || contains(subscriber)) {
        return 0;
    }
    subscribers_.push_back(subscriber);
    return 1;
}

bool SubscriberList::unsubscribe(HlmPlg::ISubscriber2* subscriber) {
    std::unique_lock hold(lock_);
    const auto found = std::find(subscribers_.begin(), subscribers_.end(), subscriber);
    if (found == subscribers_.end()) {
        return false;
    }
    subscribers_.erase(found);
    running_.waitForOtherThreads(
        hold, [subscriber](const HlmPlg::ISubscriber2* running) { return running == subscriber; });
    return true;
}

void SubscriberList::notify(const char16_t* place) {
    std::vector<HlmPlg::ISubscriber2*> snapshot;
    {
        std::lock_guard hold(lock_);
        snapshot = subscribers_;
    }
    const core::BoundaryReporting reporting = PluginManager2::currentReporting();
    for (HlmPlg::ISubscriber2* subscriber : snapshot) {
        {
            std::lock_guard hold(lock_);
            if (!contains(subscriber)) {
                continue;  // unsubscribed meanwhile
            }
            running_.begin(subscriber);
        }
        // Ends the call also when the exception policy lets an exception
        // travel on.
        struct EndCall {
            SubscriberList& list;
            HlmPlg::ISubscriber2* subscriber;
            ~EndCall() { list.running_.end(list.lock_, subscriber); }
        } endCall{*this, subscriber};
        (void)core::callPlugin(reporting, place, core::calleeOf(subscriber),
                               [subscriber] { subscriber->onNotify(); });
    }
}

uint32_t HP2ObjUpdateNotifier::subscribe(HlmPlg::ISubscriber2* subscriber) {
    return subscribers_.subscribe(subscriber);
}

uint32_t HP2ObjUpdateNotifier::unsubscribe(HlmPlg::ISubscriber2* subscriber) {
    subscribers_.unsubscribe(subscriber);
    return 1;
}

void HP2ObjUpdateNotifier::notify() {
    subscribers_.notify(u"IUpdateNotifier::notify");
}

uint32_t HP2ObjConfigChangeNotifier::subscribe(HlmPlg::ISubscriber2* subscriber) {
    return subscribers_.subscribe(subscriber);
}

uint32_t HP2ObjConfigChangeNotifier::unsubscribe(HlmPlg::ISubscriber2* subscriber) {
    return subscribers_.unsubscribe(subscriber) ? 1 : 0;
}

void HP2ObjConfigChangeNotifier::notify() {
    subscribers_.notify(u"IConfigNotifier::notify");
}

}  // namespace holm::gateway
