// The list of registered service handlers, shared by the core (broadcasts of
// run, stop and control requests) and every IService object: a HandlerList
// (common/handler_list.h) of handler pointers. A handler registered twice is
// called twice, and unregistering it removes every registration. The stop
// notifications call one handler per thread through callIfRegistered, noted
// as a running call like a broadcast's.
#pragma once

#include "common/handler_list.h"
#include "hlmplg/handlers.h"

namespace holm::core {

using ServiceHandlerList = common::HandlerList<HlmPlg::IServiceHandler*>;

}  // namespace holm::core
