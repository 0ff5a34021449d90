// The common base of every service object and of the handlers that plugins
// hand to services.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"

namespace HlmPlg {

class CHlmPlg;

// Base of every object created by interface id. The facade fills the three
// fields after the provider has built the object; implementations never set
// them themselves.
class HLMPLG_API IInterface {
  public:
    virtual ~IInterface() = default;

    int32_t m_id = 0;               // id under which the object was created
    CHlmPlg* m_provider = nullptr;  // the provider that made it and destroys it
    CHlmPlg* m_owner = nullptr;     // the party that asked for it
};

// Base of every handler object a plugin hands to a service.
class HLMPLG_API IHandler {
  public:
    virtual ~IHandler() = default;
};

// A service that accepts handlers (configuration, asynchronous events,
// threads, the service object, ...).
class HLMPLG_API IHandlerInterface : public IInterface {
  public:
    virtual bool registerHandler(IHandler* handler) = 0;
    virtual bool unregisterHandler(IHandler* handler) = 0;
};

}  // namespace HlmPlg
