// The gateway's two notifiers: lists of subscribers told of one kind of news
// (engine updates, configuration reloads).
#pragma once

#include <cstdint>

#include "common/handler_list.h"
#include "hlmplg/gateway.h"
#include "hlmplg/handlers.h"

namespace holm::gateway {

// Calls every subscriber's onNotify, each through the plugin boundary under
// `place`.
void notifySubscribers(common::HandlerList<HlmPlg::ISubscriber2*>& subscribers,
                       const char16_t* place);

// What both notifiers share. Subscribers in subscription order, without
// duplicates, in a HandlerList (common/handler_list.h): a notification calls
// them over a snapshot with no lock held, so a subscriber may subscribe or
// unsubscribe from inside its callback, or wait for another thread that
// notifies, without a deadlock. A subscriber unsubscribed before its turn in
// a running notification is not called; unsubscribing returns only when no
// call of that subscriber still runs on another thread. The objects are not
// counted: they live as long as the gateway.
template <class Interface>
class SubscriberNotifier : public Interface {
  public:
    uint32_t addRef() override { return 1; }
    uint32_t release() override { return 1; }
    // 1 when added, 0 when already subscribed (or null).
    uint32_t subscribe(HlmPlg::ISubscriber2* subscriber) override {
        return subscriber != nullptr && subscribers_.addOnce(subscriber) ? 1 : 0;
    }

  protected:
    common::HandlerList<HlmPlg::ISubscriber2*> subscribers_;
};

// "IUpdateNotifier": fired by the legacy bridge when the engine was updated.
class HP2ObjUpdateNotifier final : public SubscriberNotifier<HlmPlg::IHP2ObjUpdateNotifier> {
  public:
    const char* getTypeName() override { return HlmPlg::kGatewayUpdateNotifier; }
    // 1 in every case.
    uint32_t unsubscribe(HlmPlg::ISubscriber2* subscriber) override;
    void notify() override;
};

// "IConfigNotifier": registered as a configuration handler on the gateway's
// IConfig, so every configuration reload of the core reaches its
// subscribers.
class HP2ObjConfigChangeNotifier final
    : public SubscriberNotifier<HlmPlg::IHP2ObjConfigChangeNotifier>,
      public HlmPlg::IConfigHandler {
  public:
    const char* getTypeName() override { return HlmPlg::kGatewayConfigNotifier; }
    // 1 when removed, 0 when not subscribed.
    uint32_t unsubscribe(HlmPlg::ISubscriber2* subscriber) override;
    void notify() override;

    void onConfigChanged() override {}
    void onConfigReloaded() override { notify(); }
};

}  // namespace holm::gateway
