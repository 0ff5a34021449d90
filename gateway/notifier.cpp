#include "gateway/notifier.h"

#include "core/plugin_boundary.h"
#include "gateway/plugin_manager2.h"

namespace holm::gateway {

void notifySubscribers(common::HandlerList<HlmPlg::ISubscriber2*>& subscribers,
                       const char16_t* place) {
    const core::BoundaryReporting reporting = PluginManager2::currentReporting();
    subscribers.forEach([&](HlmPlg::ISubscriber2* subscriber) {
        (void)core::callPlugin(reporting, place, core::calleeOf(subscriber),
                               [subscriber] { subscriber->onNotify(); });
    });
}

uint32_t HP2ObjUpdateNotifier::unsubscribe(HlmPlg::ISubscriber2* subscriber) {
    (void)subscribers_.removeFirst(subscriber);
    return 1;
}

void HP2ObjUpdateNotifier::notify() {
    notifySubscribers(subscribers_, u"IUpdateNotifier::notify");
}

uint32_t HP2ObjConfigChangeNotifier::unsubscribe(HlmPlg::ISubscriber2* subscriber) {
    return subscribers_.removeFirst(subscriber) ? 1 : 0;
}

void HP2ObjConfigChangeNotifier::notify() {
    notifySubscribers(subscribers_, u"IConfigNotifier::notify");
}

}  // namespace holm::gateway
