// The host's command line (id 7): "/" switches with "=" values.
#pragma once

#include "hlmplg/interface.h"

namespace HlmPlg {

class HLMPLG_API ICmdLine : public IInterface {
  public:
    // True when a switch matches `name` (A-Z case-insensitive).
    virtual bool hasSwitch(const char16_t* name) = 0;
    // The value after '=' of the first matching switch, or the empty text;
    // valid until the next call on this object.
    virtual const char16_t* getSwitchValue(const char16_t* name) = 0;
};

}  // namespace HlmPlg
