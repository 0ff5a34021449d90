// The configuration handlers registered with one store: (IConfig object,
// handler) pairs in registration order, in a HandlerList
// (common/handler_list.h). A reload walks a snapshot and calls each pair
// with no lock held, so a handler may read configuration, register or
// unregister handlers (itself included) from inside its call. Unregistering
// removes the first pair with the handler; an object that goes away removes
// every pair registered through it. Either returns only when no call of the
// removed handlers runs on another thread.
#pragma once

#include "common/handler_list.h"
#include "hlmplg/handlers.h"

namespace holm::services {

struct ConfigHandlerPair {
    const void* object;  // the IConfig object it was registered through
    HlmPlg::IConfigHandler* handler;
    bool operator==(const ConfigHandlerPair&) const = default;
};

using ConfigHandlerList = common::HandlerList<ConfigHandlerPair>;

}  // namespace holm::services
