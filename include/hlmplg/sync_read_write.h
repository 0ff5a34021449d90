// A many-readers/one-writer lock that plugins share through the object.
#pragma once

#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// Waiting writers block new readers; a releasing writer lets every waiting
// reader in before the next writer; the last reader out hands over to a
// waiting writer. Not re-entrant and not owner-checked: every unlock pairs with
// an earlier lock of the same thread. All waits are without time limit.
class HLMPLG_API ISyncReadWrite : public IInterface {
  public:
    virtual void lockRead() = 0;
    virtual void unlockRead() = 0;
    virtual void lockWrite() = 0;
    virtual void unlockWrite() = 0;
};

// No data beyond the IInterface part.
static_assert(sizeof(ISyncReadWrite) == sizeof(IInterface));

}  // namespace HlmPlg
