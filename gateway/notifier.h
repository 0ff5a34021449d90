// The gateway's two notifiers: lists of subscribers told of one kind of news
// (engine updates, configuration reloads).
#pragma once

#include <cstdint>

#include "common/handler_list.h"
#include "hlmplg/gateway.h"
#include "hlmplg/handlers.h"

namespace holm::gateway {

// Subscribers in subscription order, without duplicates: a HandlerList
// (common/handler_list.h), so a notification calls them over a snapshot with
// no lock held, each call through the plugin boundary; a subscriber may
// subscribe or unsubscribe from inside its callback, or wait for another
// thread that notifies, without a deadlock. A subscriber unsubscribed before
// its turn in a running notification is not called; unsubscribe returns only
// when no call of that subscriber still runs on another thread.
class SubscriberList {
  public:
    // 1 when added, 0 when already subscribed (or null).
    uint32_t subscribe(HlmPlg::ISubscriber2* subscriber);
    // Whether it was subscribed.
    bool unsubscribe(HlmPlg::ISubscriber2* subscriber);
    void notify(const char16_t* place);

  private:
    HandlerList<HlmPlg::ISubscriber2*> subscribers_;
};

// "IUpdateNotifier": fired by the legacy bridge when the engine was updated.
class HP2ObjUpdateNotifier final : public HlmPlg::IHP2ObjUpdateNotifier {
  public:
    uint32_t addRef() override { return 1; }
    uint32_t release() override { return 1; }
    const char* getTypeName() override { return HlmPlg::kGatewayUpdateNotifier; }
    uint32_t subscribe(HlmPlg::ISubscriber2* subscriber) override;
    // 1 in every case.
    uint32_t unsubscribe(HlmPlg::ISubscriber2* subscriber) override;
    void notify() override;

  private:
    SubscriberList subscribers_;
};

// "IConfigNotifier": registered as a configuration handler on the gateway's
// IConfig, so every configuration reload of the core reaches its
// subscribers.
class HP2ObjConfigChangeNotifier final : public HlmPlg::IHP2ObjConfigChangeNotifier,
                                         public HlmPlg::IConfigHandler {
  public:
    uint32_t addRef() override { return 1; }
    uint32_t release() override { return 1; }
    const char* getTypeName() override { return HlmPlg::kGatewayConfigNotifier; }
    uint32_t subscribe(HlmPlg::ISubscriber2* subscriber) override;
    // 1 when removed, 0 when not subscribed.
    uint32_t unsubscribe(HlmPlg::ISubscriber2* subscriber) override;
    void notify() override;

    void onConfigChanged() override {}
    void onConfigReloaded() override { notify(); }

  private:
    SubscriberList subscribers_;
};

}  // namespace holm::gateway
