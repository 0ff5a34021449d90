// Switches the file-system redirection of the calling thread off and on, where
// the system has such a redirection. Systems without it answer false.
#pragma once

#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// One object keeps one saved state: call disableRedirection and
// revertRedirection on the same thread, one object per thread that needs it.
class HLMPLG_API IWow64FSRedir : public IInterface {
  public:
    virtual bool enableRedirection() = 0;
    virtual bool disableRedirection() = 0;
    virtual bool revertRedirection() = 0;
};

// No data beyond the IInterface part.
static_assert(sizeof(IWow64FSRedir) == sizeof(IInterface));

}  // namespace HlmPlg
