// What service objects need of the core they belong to: the host's handler.
// The core implements it; service objects and the core's provider hold only
// this, so they do not depend on the core object itself.
#pragma once

#include "hlmplg/core.h"

namespace holm::core {

class HostLink {
  public:
    // The host's handler, or null without one.
    virtual HlmPlg::IHlmCoreHandler* hostHandler() const = 0;

  protected:
    ~HostLink() = default;
};

}  // namespace holm::core
