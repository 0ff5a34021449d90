// The plugin gate of the asynchronous subsystem (async/plugin_gate.h), built
// on the core's plugin boundary: every dispatcher callback and every IThread
// body runs through callPlugin with the core's current reporting, so a
// plugin that throws or faults there is reported, and the worker or thread
// goes on (or ends cleanly).
#pragma once

#include "async/plugin_gate.h"
#include "common/mutex.h"
#include "core/plugin_boundary.h"

namespace holm::core {

class AsyncGate final : public async::PluginCallGate {
  public:
    explicit AsyncGate(const BoundaryReporting& reporting) : reporting_(reporting) {}

    // Where later calls report (the host handler or the service changed).
    void setReporting(const BoundaryReporting& reporting) EXCLUDES(mutex_);

    bool call(std::u16string_view place, const HlmPlg::IHandler* callee,
              async::FunctionRef<void()> body) override EXCLUDES(mutex_);
    void logLine(std::u16string_view text) override;

    // Where calls report now.
    BoundaryReporting reporting() EXCLUDES(mutex_);

  private:
    common::Mutex mutex_;
    BoundaryReporting reporting_ GUARDED_BY(mutex_);
};

}  // namespace holm::core
