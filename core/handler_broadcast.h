// Broadcasts to the service handlers through the plugin boundary: each
// handler's callback runs guarded and shielded under the place name of the
// callback ("IServiceHandler::onRunning", ...), so a handler that throws or
// faults fails only its own call and the broadcast goes on with the next.
#pragma once

#include "core/plugin_boundary.h"
#include "core/service_handlers.h"

namespace holm::core {

template <typename Callback>
void broadcastToHandlers(ServiceHandlerList& handlers, const BoundaryReporting& reporting,
                         const char16_t* place, Callback callback) {
    handlers.forEach([&](HlmPlg::IServiceHandler* handler) {
        (void)callPlugin(reporting, place, calleeOf(handler), [&] { callback(handler); });
    });
}

}  // namespace holm::core
