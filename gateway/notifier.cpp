#include "gateway/notifier.h"

#include "core/plugin_boundary.h"
#include "gateway/plugin_manager2.h"

namespace holm::gateway {

uint32_t SubscriberList::subscribe(HlmPlg::ISubscriber2* subscriber) {
    return subscriber != nullptr && subscribers_.addOnce(subscriber) ? 1 : 0;
}

bool SubscriberList::unsubscribe(HlmPlg::ISubscriber2* subscriber) {
    return subscribers_.removeFirst(subscriber);
}

void SubscriberList::notify(const char16_t* place) {
    const core::BoundaryReporting reporting = PluginManager2::currentReporting();
    subscribers_.forEach([&](HlmPlg::ISubscriber2* subscriber) {
        (void)core::callPlugin(reporting, place, core::calleeOf(subscriber),
                               [subscriber] { subscriber->onNotify(); });
    });
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
