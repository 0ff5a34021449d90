// How the asynchronous subsystem calls plugin code: through a gate that the
// core supplies (its plugin boundary). Every dispatcher callback and every
// IThread body runs through it, so a plugin that throws or faults there is
// reported and the worker or thread lives on, never ends the process.
//
// The subsystem does not include the core; the core's provider hands it an
// implementation built on its boundary, and tests hand it their own.
#pragma once

#include <string_view>

#include "async/function_ref.h"
#include "hlmplg/interface.h"

namespace holm::async {

class PluginCallGate {
  public:
    // Runs `body`, which calls into the plugin code of `callee` (the handler
    // whose method it calls). True when it returned; false when it threw or
    // faulted, which the gate has reported under `place`. Holds no lock of
    // its own while `body` runs. When the service's exception policy declines
    // catching, the exception travels on to the caller.
    virtual bool call(std::u16string_view place, const HlmPlg::IHandler* callee,
                      FunctionRef<void()> body) = 0;

    // One line for the host's log, about the subsystem itself (a watch the
    // kernel covers only in part). Nothing by default.
    virtual void logLine(std::u16string_view text) { (void)text; }

  protected:
    ~PluginCallGate() = default;
};

}  // namespace holm::async
